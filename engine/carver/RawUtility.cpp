#include "engine/carver/RawUtility.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr char kBadChars[] = {'\x01', '\\', '/', ':', '?', '"', '<', '>', '|', '*', '\r', '\n'};

bool AllZero(const unsigned char* p, int n) {
    return std::all_of(p, p + n, [](unsigned char c) { return c == 0; });
}
} // namespace

std::string ApiStrFilterBadFileName(const std::string& text) {
    std::string out = text;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    for (char& c : out)
        if (std::find(std::begin(kBadChars), std::end(kBadChars), c) != std::end(kBadChars)) c = '_';
    return out;
}

bool ApiIsInvalidCharInFileName(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char ch) {
        const unsigned char c = static_cast<unsigned char>(ch);
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        std::strchr(" ,-.@_", c) != nullptr;
        return !ok || c == 0;
    });
}

const unsigned char* Apimemstr(const unsigned char* haystack, long long haystackLength, const unsigned char* needle,
                               long long needleLength) {
    if (!haystack || !needle || haystackLength < 1 || needleLength < 1 || needleLength > haystackLength)
        return nullptr;
    const unsigned char* end = haystack + haystackLength;
    const unsigned char* hit = std::search(haystack, end, needle, needle + needleLength);
    return hit == end ? nullptr : hit;
}

const unsigned char* Apimemstr(const unsigned char* haystack, long long length,
                               const std::map<std::string, int>& patterns, int& matchedLength) {
    if (!haystack || length < 1) return nullptr;
    for (long long i = 0; i < length; ++i) {
        for (const auto& [bytes, declared] : patterns) {
            // The declared length never reaches past the pattern's own bytes.
            const long long n = std::min<long long>(declared, static_cast<long long>(bytes.size()));
            if (n < 1 || n > length - i) continue;
            if (std::memcmp(haystack + i, bytes.data(), static_cast<std::size_t>(n)) == 0) {
                matchedLength = static_cast<int>(n);
                return haystack + i;
            }
        }
    }
    return nullptr;
}

namespace BruteForce {

std::uint32_t RawUtility::EXIF_Get32s(const unsigned char* p, bool littleEndian) {
    return littleEndian ? (std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0])
                        : (std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3]);
}

std::uint16_t RawUtility::EXIF_Get16s(const unsigned char* p, bool littleEndian) {
    return static_cast<std::uint16_t>(littleEndian ? (p[1] << 8 | p[0]) : (p[0] << 8 | p[1]));
}

int RawUtility::FindMagicInBuffer(const unsigned char* buffer, int length, int back, const unsigned char* magic,
                                  int magicLength) {
    if (!buffer || !magic || magicLength < 1 || length < 1) return 0;
    const long long start = static_cast<long long>(length) - back;
    if (start < 0) return 0;
    // A magic starting with a zero byte is never taken.
    if (magic[0] == 0) return 0;
    // Positions where the magic would run past the buffer are not tried; the
    // last one is looked for from the end by its first byte.
    for (long long pos = std::min<long long>(start, length - magicLength); pos >= 0; --pos) {
        const void* hit = ::memrchr(buffer, magic[0], static_cast<std::size_t>(pos) + 1);
        if (!hit) return 0;
        pos = static_cast<const unsigned char*>(hit) - buffer;
        if (std::memcmp(buffer + pos, magic, static_cast<std::size_t>(magicLength)) == 0)
            return static_cast<int>(pos + magicLength);
    }
    return 0;
}

int RawUtility::Binary_Compare(const unsigned char* buffer, int length) {
    if (!buffer || length <= 0 || AllZero(buffer, length)) return 0;
    int lo = 0, hi = length, p = 0;
    while (lo < hi - 1) {
        p = lo + (hi - lo) / 2;
        if (AllZero(buffer + p, length - p))
            hi = p;
        else
            lo = p;
    }
    return p + 1;
}

} // namespace BruteForce
