#include "engine/common/TextConvert.h"

#include <cerrno>
#include <iconv.h>

namespace {

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

constexpr std::uint32_t kReplacement = 0xFFFD;

} // namespace

std::string Utf16LeToUtf8(const std::uint8_t* data, size_t bytes) {
    std::u16string units;
    if (data) {
        units.reserve(bytes / 2);
        for (size_t i = 0; i + 1 < bytes; i += 2) {
            const char16_t u = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
            if (u == 0) break;
            units += u;
        }
    }
    return Utf16LeToUtf8(units);
}

std::string Utf16LeToUtf8(const std::u16string& units) {
    // Decoded here rather than by iconv: iconv refuses a whole name for one
    // unpaired surrogate, and a damaged name is still worth showing.
    std::string out;
    out.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        std::uint32_t u = units[i];
        if (u == 0) break;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
                u = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
                ++i;
            } else {
                u = kReplacement;
            }
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            u = kReplacement;
        }
        AppendUtf8(out, u);
    }
    return out;
}

std::string CharsetToUtf8(const char* charset, const std::uint8_t* data, size_t bytes) {
    if (!charset || !data || bytes == 0) return {};
    iconv_t cd = iconv_open("UTF-8", charset);
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::string out;
    std::string chunk(4096, '\0');
    char* in = const_cast<char*>(reinterpret_cast<const char*>(data));
    size_t inLeft = bytes;
    while (inLeft > 0) {
        char* o = chunk.data();
        size_t oLeft = chunk.size();
        const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(chunk.data(), chunk.size() - oLeft);
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) continue;
        // EILSEQ or EINVAL: show the bad byte as a replacement and go on.
        AppendUtf8(out, kReplacement);
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return out;
}

std::string TruncateUtf8(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t end = maxBytes;
    // Step back over continuation bytes to the start of the cut character.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

namespace {

// The longest name Linux file systems take, in bytes.
constexpr size_t kMaxNameBytes = 255;
// An extension longer than this is part of the name, not kept when cutting.
constexpr size_t kMaxKeptExtension = 32;

// Splits name into its stem and extension (from the last ".", not a leading one).
size_t ExtensionStart(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || name.size() - dot > kMaxKeptExtension) return name.size();
    return dot;
}

// stem + middle + extension, the stem cut at a character boundary so that the
// whole fits kMaxNameBytes.
std::string JoinWithin(const std::string& name, const std::string& middle) {
    const size_t ext = ExtensionStart(name);
    const std::string tail = middle + name.substr(ext);
    const size_t room = tail.size() < kMaxNameBytes ? kMaxNameBytes - tail.size() : 0;
    std::string joined = TruncateUtf8(name.substr(0, ext), room);
    // Appended rather than assigned and concatenated: GCC 12 warns falsely
    // (-Wrestrict) about the short literal assignment in Release builds.
    if (joined.empty()) joined.push_back('_');
    joined.append(tail);
    return joined;
}

} // namespace

std::string MakeSafeFileName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        out += (c == '/' || u < 0x20 || u == 0x7F) ? '_' : c;
    }
    if (out.empty() || out == "." || out == "..") return "_" + out;
    return out.size() > kMaxNameBytes ? JoinWithin(out, "") : out;
}

std::string AsciiLowerCase(std::string name) {
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return name;
}

std::string NumberedFileName(const std::string& safeName, unsigned number) {
    if (number < 2) return safeName;
    return JoinWithin(safeName, " (" + std::to_string(number) + ")");
}
