#include "engine/carver/metadata/ExifReader.h"

#include "engine/common/Bytes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Directories on the walk's path: a link back to one of them is a loop, and
// the path is kept short (a chain of distinct directories would otherwise
// recurse once per directory). The total is bounded too, since directories
// reached through several paths are walked once per path.
constexpr std::size_t kMaxDepth = 32;
constexpr unsigned kMaxWalks = 256;
constexpr unsigned kBytesPerFormat[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

tag_ExifInfo* g_info = nullptr;
bool g_motorola = false;
char g_error[256] = {};
std::uint32_t g_largestWidth = 0;
std::vector<std::uint32_t> g_path;
unsigned g_walks = 0;
std::vector<std::vector<unsigned char>> g_copies;

void Fail(const char* text) { std::snprintf(g_error, sizeof g_error, "%s", text); }

std::uint16_t Get16(const unsigned char* p) {
    return g_motorola ? static_cast<std::uint16_t>(p[0] << 8 | p[1]) : static_cast<std::uint16_t>(p[1] << 8 | p[0]);
}

// Text of at most `max` characters, no further than the value's own bytes.
void CopyText(char* out, std::size_t max, const unsigned char* value, std::uint64_t size) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, max));
    std::size_t i = 0;
    for (; i < n && value[i]; ++i) out[i] = static_cast<char>(value[i]);
    out[i] = 0;
}

struct Walk {
    const unsigned char* tiff; // the TIFF header
    std::uint32_t length;      // bytes readable from it
    std::uintptr_t displacement;
};

// Where the value lies (displaced), or where its copy lies when `copy`.
std::uintptr_t Place(const Walk& w, const unsigned char* value, std::uint64_t size, bool copy) {
    if (!copy) return reinterpret_cast<std::uintptr_t>(value) + w.displacement;
    g_copies.emplace_back(value, value + size);
    return reinterpret_cast<std::uintptr_t>(g_copies.back().data());
}

float Unit(double code, float keep) {
    switch (static_cast<int>(code)) {
    case 1:
    case 2: return 1.0f;
    case 3: return 0.3937008f;
    case 4: return 0.03937008f;
    case 5: return 0.00003937008f;
    default: return keep;
    }
}

bool ProcessDir(const Walk& w, std::uint32_t start);

// Walks a sub-directory whose outcome does not change its parent's; false
// only for a link past the data.
bool SubDir(const Walk& w, std::uint32_t offset) {
    if (offset >= w.length) {
        Fail("Illegal subdirectory link");
        return false;
    }
    ProcessDir(w, offset);
    return true;
}

bool EXIF_ProcessExifDir(const Walk& w, std::uint32_t start) {
    const unsigned char* dir = w.tiff + start;
    if (std::uint64_t{start} + 2 > w.length) {
        Fail("Illegally sized directory");
        return false;
    }
    const unsigned n = Get16(dir);
    if (std::uint64_t{start} + 2 + 12ull * n > w.length) {
        Fail("Illegally sized directory");
        return false;
    }
    std::uint32_t thumbOffset = 0, thumbLength = 0;
    for (unsigned e = 0; e < n; ++e) {
        const unsigned char* entry = dir + 2 + 12 * e;
        const unsigned tag = Get16(entry);
        const unsigned format = Get16(entry + 2);
        if (format < 1 || format > 12) {
            Fail("Illegal format code in EXIF dir");
            return false;
        }
        const std::uint64_t size = std::uint64_t{EXIF_Get32s(entry + 4)} * kBytesPerFormat[format];
        const unsigned char* value = entry + 8;
        if (size > 4) {
            const std::uint32_t offset = EXIF_Get32s(entry + 8);
            if (offset + size > w.length) {
                Fail("Illegal pointer offset value in EXIF.");
                return false;
            }
            value = w.tiff + offset;
        }
        tag_ExifInfo& info = *g_info;
        const double number = EXIF_ConvertAnyFormat(value, static_cast<int>(format));
        switch (tag) {
        case 0x010F: CopyText(info.cameraMake, 31, value, size); break;
        case 0x0110: CopyText(info.cameraModel, 39, value, size); break;
        case 0x9000: CopyText(info.exifVersion, 4, value, size); break;
        case 0x9003: CopyText(info.dateTime, 19, value, size); break;
        case 0x9004: CopyText(info.digitizedTime, 19, value, size); break;
        case 0x0112:
            info.orientation = static_cast<int>(number);
            if (info.orientation < 1 || info.orientation > 8) {
                info.orientation = 0;
                Fail("Undefined rotation value");
            }
            break;
        case 0x9209: info.flashUsed = (static_cast<long long>(number) & 7) ? 1 : 0; break;
        case 0x920A: info.focalLength = static_cast<float>(number); break;
        case 0x829A: info.exposureTime = static_cast<float>(number); break;
        case 0x829D: info.apertureFNumber = static_cast<float>(number); break;
        case 0x9206: info.distance = static_cast<float>(number); break;
        case 0x9204: info.exposureBias = static_cast<float>(number); break;
        case 0x9203: info.brightness = static_cast<float>(number); break;
        case 0x9208: info.lightSource = static_cast<int>(number); break;
        case 0x9207: info.meteringMode = static_cast<int>(number); break;
        case 0x8822: info.exposureProgram = static_cast<int>(number); break;
        case 0x9102: info.compressionLevel = static_cast<int>(number); break;
        case 0x8827:
            info.isoEquivalent = static_cast<int>(number);
            if (info.isoEquivalent < 50) info.isoEquivalent *= 200;
            break;
        case 0xA20E: info.focalplaneXRes = static_cast<float>(number); break;
        case 0xA20F: info.focalplaneYRes = static_cast<float>(number); break;
        case 0x011A: info.xResolution = static_cast<float>(number); break;
        case 0x011B: info.yResolution = static_cast<float>(number); break;
        case 0xA210: info.focalplaneUnits = Unit(number, info.focalplaneUnits); break;
        case 0x0128: info.resolutionUnit = Unit(number, info.resolutionUnit); break;
        case 0xA002:
        case 0xA003: g_largestWidth = std::max(g_largestWidth, static_cast<std::uint32_t>(number)); break;
        case 0x0201: thumbOffset = static_cast<std::uint32_t>(number); break;
        case 0x0202: thumbLength = static_cast<std::uint32_t>(number); break;
        case 0x927C:
            info.makerNoteSize = static_cast<int>(std::min<std::uint64_t>(size, 0x7FFFFFFF));
            info.makerNote = Place(w, value, size, info.flags & 8);
            break;
        case 0x9286:
            info.userCommentSize = static_cast<int>(std::min<std::uint64_t>(size, 0x7FFFFFFF));
            info.userComment = Place(w, value, size, info.flags & 4);
            break;
        case 0x8769:
        case 0xA005:
            if (!SubDir(w, EXIF_Get32s(value))) return false;
            break;
        default: break;
        }
    }
    const std::uint64_t linkAt = std::uint64_t{start} + 2 + 12ull * n;
    if (linkAt + 4 <= w.length) {
        const std::uint32_t next = EXIF_Get32s(w.tiff + linkAt);
        if (next != 0 && !SubDir(w, next)) return false;
    }
    if (thumbOffset && thumbLength && std::uint64_t{thumbOffset} + thumbLength <= w.length) {
        g_info->thumbnailSize = static_cast<int>(thumbLength);
        g_info->thumbnail = Place(w, w.tiff + thumbOffset, thumbLength, g_info->flags & 2);
    }
    return true;
}

bool ProcessDir(const Walk& w, std::uint32_t start) {
    if (std::find(g_path.begin(), g_path.end(), start) != g_path.end() || g_path.size() >= kMaxDepth ||
        g_walks >= kMaxWalks)
        return false;
    ++g_walks;
    g_path.push_back(start);
    const bool ok = EXIF_ProcessExifDir(w, start);
    g_path.pop_back();
    return ok;
}

} // namespace

void SetExitInfo(tag_ExifInfo* info) { g_info = info; }

const char* EXIF_GetErrorString() { return g_error; }

void GetExifInfo(tag_ExifInfo* out) {
    if (out && g_info) *out = *g_info;
}

std::uint32_t EXIF_Get32s(const unsigned char* p) {
    return g_motorola ? bytes::Be32(bytes::Bytes(p, 4), 0) : bytes::Le32(bytes::Bytes(p, 4), 0);
}

double EXIF_ConvertAnyFormat(const unsigned char* value, int format) {
    switch (format) {
    case 1: return value[0];
    case 3: return Get16(value);
    case 4: return EXIF_Get32s(value);
    case 5:
    case 10: {
        const auto num = static_cast<std::int32_t>(EXIF_Get32s(value));
        const auto den = static_cast<std::int32_t>(EXIF_Get32s(value + 4));
        return den == 0 ? 0.0 : static_cast<double>(num) / den;
    }
    case 6: return static_cast<std::int8_t>(value[0]);
    case 8: return static_cast<std::int16_t>(Get16(value));
    case 9: return static_cast<std::int32_t>(EXIF_Get32s(value));
    case 11: {
        float f;
        std::memcpy(&f, value, 4);
        return f;
    }
    case 12: {
        double d;
        std::memcpy(&d, value, 8);
        return d;
    }
    default: return 0.0;
    }
}

int EXIF_process_EXIF(const unsigned char* base, unsigned int adjust, unsigned char* exif, unsigned int length) {
    g_largestWidth = 0;
    g_path.clear();
    g_walks = 0;
    g_copies.clear();
    if (!g_info || !exif) {
        Fail("No EXIF record");
        return 0;
    }
    g_info->flashUsed = 0;
    // The length field counts its own two bytes: the TIFF data is what
    // follows "Exif" 00 00 inside the segment.
    if (length < 2 + 6 + 8 || std::memcmp(exif, "Exif\0\0", 6) != 0) {
        Fail("Incorrect Exif header");
        return 0;
    }
    if (exif[6] == 'I' && exif[7] == 'I') {
        g_motorola = false;
    } else if (exif[6] == 'M' && exif[7] == 'M') {
        g_motorola = true;
    } else {
        Fail("Invalid Exif alignment marker.");
        return 0;
    }
    if (Get16(exif + 8) != 42) {
        Fail("Invalid Exif start (1)");
        return 0;
    }
    const std::uint32_t first = EXIF_Get32s(exif + 10);
    if (first < 8 || first > 16) {
        Fail("Suspicious offset of first IFD value");
        return 0;
    }
    const Walk w{exif + 6, length - 8, std::uintptr_t{adjust} - reinterpret_cast<std::uintptr_t>(base)};
    if (!ProcessDir(w, 8)) return 0;
    if (g_info->focalplaneXRes != 0)
        g_info->ccdWidth = static_cast<float>(g_largestWidth * static_cast<double>(g_info->focalplaneUnits) /
                                              g_info->focalplaneXRes);
    return 1;
}
