#include "engine/carver/analysers/SmallPictureAnalysers.h"
#include "engine/carver/analysers/PictureWindow.h"

#include <cstring>

int FileBMPAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow window = info.WindowAt(sector);
    const bytes::Bytes h = window.At(0, 18);
    if (h.empty() || h[0] != 'B' || h[1] != 'M' || bytes::Le16(h, 6) != 0 || bytes::Le16(h, 8) != 0) return 0;
    const std::uint32_t header = bytes::Le32(h, 14);
    if (header != 40 && header != 124) return 0;
    return BruteForce::SizedWithinDevice(info, window, bytes::Le32(h, 2), kBmpType);
}

bool FileICOAnalyser::IsInvalidIconDirEntry(const unsigned char* entry) {
    const bytes::Bytes e(entry, 16);
    return e[3] != 0 || bytes::Le16(e, 6) > 256 || bytes::Le32(e, 8) > 0xA00000 || bytes::Le32(e, 12) > 0xA00000;
}

int FileICOAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow window = info.WindowAt(sector);
    const bytes::Bytes h = window.At(0, 6);
    if (h.empty() || h[0] != 0 || h[1] != 0) return 0;
    const std::uint16_t kind = bytes::Le16(h, 2), count = bytes::Le16(h, 4);
    if ((kind != 1 && kind != 2) || count < 1 || count > 16) return 0;
    const bytes::Bytes entries = window.At(6, 16u * count);
    if (entries.empty()) return 0;
    std::uint64_t size = 6;
    for (unsigned i = 0; i < count; ++i) {
        if (IsInvalidIconDirEntry(entries.data() + 16 * i)) return 0;
        size += std::uint64_t{bytes::Le32(entries, 16 * i + 8)} + 16;
    }
    if (size > kMaxSize) return 0;
    return BruteForce::SizedWithinDevice(info, window, size, kind == 1 ? kIcoType : kCurType);
}

int FileICNSAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow window = info.WindowAt(sector);
    const bytes::Bytes h = window.At(0, 8);
    if (h.empty() || std::memcmp(h.data(), "icns", 4) != 0) return 0;
    const std::uint32_t size = bytes::Be32(h, 4);
    if (size > 0xA66666) return 0;
    return BruteForce::SizedWithinDevice(info, window, size, kIcnsType);
}

int FileMRWAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow window = info.WindowAt(sector);
    const bytes::Bytes h = window.At(0, 33);
    if (h.empty() || std::memcmp(h.data(), "\0MRM", 4) != 0) return 0;
    // In 64 bits: the raw data's dimensions multiply past 32 bits easily.
    const std::uint64_t raw = std::uint64_t{h[32]} * bytes::Be16(h, 24) * bytes::Be16(h, 26) / 8;
    return BruteForce::SizedWithinDevice(info, window, std::uint64_t{bytes::Be32(h, 4)} + raw + 8, kMrwType);
}
