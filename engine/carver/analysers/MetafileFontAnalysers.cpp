#include "engine/carver/analysers/MetafileFontAnalysers.h"
#include "engine/carver/analysers/PictureWindow.h"

#include <cstring>
#include <string_view>

int FileEMFAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow window = info.WindowAt(sector);
    const bytes::Bytes h = window.At(0, 60);
    if (h.empty() || std::memcmp(h.data() + 40, " EMF", 4) != 0 || bytes::Le16(h, 58) != 0) return 0;
    return BruteForce::SizedWithinDevice(info, window, bytes::Le32(h, 48), kEmfType);
}

int FileWMFAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow window = info.WindowAt(sector);
    const bytes::Bytes h = window.At(0, 40);
    if (h.empty()) return 0;
    static constexpr unsigned char kStandard[4] = {0x01, 0x00, 0x09, 0x00};
    if (std::memcmp(h.data(), kStandard, 4) == 0) {
        if (bytes::Le16(h, 16) != 0) return 0;
        // The size in 16-bit words, doubled in 64 bits.
        return BruteForce::SizedWithinDevice(info, window, 2 * std::uint64_t{bytes::Le32(h, 6)}, kWmfType);
    }
    static constexpr unsigned char kPlaceable[6] = {0xD7, 0xCD, 0xC6, 0x9A, 0x00, 0x00};
    if (std::memcmp(h.data(), kPlaceable, 6) != 0) return 0;
    std::uint16_t sum = 0;
    for (std::size_t at = 0; at < 20; at += 2) sum ^= bytes::Le16(h, at);
    if (sum != bytes::Le16(h, 20) || bytes::Le32(h, 16) != 0 || std::memcmp(h.data() + 22, kStandard, 4) != 0 ||
        bytes::Le16(h, 38) != 0)
        return 0;
    return BruteForce::SizedWithinDevice(info, window, 2 * std::uint64_t{bytes::Le32(h, 28)} + 22, kWmfType);
}

int FileTTFAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    static constexpr std::string_view kTags[] = {
        "DSIG", "cmap", "glyf", "head", "hhea", "hmtx", "loca", "maxp", "name", "post", "OS/2", "cvt ", "EBDT",
        "EBLC", "EBSC", "fpgm", "gasp", "hdmx", "kern", "LTSH", "prep", "PCLT", "VDMX", "vhea", "vmtx"};
    if (!sector) return 0;
    const CRawWindow window = info.WindowAt(sector);
    const bytes::Bytes h = window.At(0, 6);
    if (h.empty()) return 0;
    const unsigned count = bytes::Be16(h, 4);
    if (count < 1 || count > 31) return 0;
    const bytes::Bytes tables = window.At(12, 16u * count);
    if (tables.empty()) return 0;
    std::uint64_t size = 12 + 16u * count;
    unsigned known = 0;
    for (unsigned i = 0; i < count; ++i) {
        const std::string_view tag(reinterpret_cast<const char*>(tables.data() + 16 * i), 4);
        for (std::string_view k : kTags) known += tag == k;
        size += (std::uint64_t{bytes::Be32(tables, 16 * i + 12)} + 3) / 4 * 4;
    }
    if (2 * known < count) return 0;
    return BruteForce::SizedWithinDevice(info, window, size, kTtfType);
}
