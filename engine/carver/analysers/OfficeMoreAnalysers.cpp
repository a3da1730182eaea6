#include "engine/carver/analysers/OfficeMoreAnalysers.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/analysers/PictureWindow.h"

#include <algorithm>
#include <cstring>

using BruteForce::SizedWithinDevice;

namespace {

constexpr unsigned char kOneSig[12] = {0x8C, 0xD8, 0xA7, 0x4D, 0xAE, 0xB1, 0x53, 0x78, 0xD0, 0x29, 0x96, 0xD3};

bool StartsWith(bytes::Bytes h, const void* text, std::size_t n, std::size_t at = 0) {
    return bytes::Has(h, at, n) && std::memcmp(h.data() + at, text, n) == 0;
}

} // namespace

// ---- OneNote ----------------------------------------------------------------

bool FileONEAnalyser::Header(bytes::Bytes h) {
    return StartsWith(h, "\xE4\x52\x5C\x7B", 4) && StartsWith(h, kOneSig, 12, 4);
}

std::uint64_t FileONEAnalyser::SectionFileLength(bytes::Bytes h) {
    const std::uint64_t v = bytes::Le64(h, 196);
    return v ? v : bytes::Le64(h, 100);
}

int FileONEAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || !Header(info.WindowAt(sector).At(0, 16))) return 0;
    info.m_eRawFileType = kType;
    return 1;
}

int FileONEAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const unsigned long long room = BruteForce::DeviceRoom(info, device);
    if (room == 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(info.m_llStartSector));
    std::uint64_t offset = 0;
    while (offset < kLimit + 1) {
        const unsigned char* p = file.Fetch(offset, 204);
        if (!p || !Header(bytes::Bytes(p, 204))) break;
        const bytes::Bytes h(p, 204);
        const std::uint64_t primary = bytes::Le64(h, 196), fallback = bytes::Le64(h, 100);
        if (primary >= kLimit + 1 || (primary == 0 && (fallback == 0 || fallback > kLimit))) {
            offset = kLimit;
            break;
        }
        offset += primary ? primary : fallback;
    }
    info.m_ullFileSize = std::min<std::uint64_t>(offset, room);
    info.m_eRawFileType = kType;
    return 1;
}

namespace RawSpeed {

int ONERawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) {
    if (!sector || sectorBytes <= 0) return 2;
    const long long offset = (s - m_llStartSector) * sectorBytes;
    if (m_bFirstCall && offset == 0) {
        m_bFirstCall = false;
        m_llNext = static_cast<long long>(std::min<std::uint64_t>(
            FileONEAnalyser::SectionFileLength(bytes::Bytes(sector, static_cast<std::size_t>(sectorBytes))), kCap + 1));
    }
    if (offset > kCap) {
        m_ullFileSize = 0;
        return 1;
    }
    for (;;) {
        if (m_llNext <= offset || m_llNext > offset + sectorBytes || context.m_llWindowEnd < s + 3) return 2;
        const bytes::Bytes h = BruteForce::HeldBytes(context, s, sectorBytes, m_llNext - offset, 204);
        if (h.empty()) return 2;
        if (!FileONEAnalyser::Header(h)) return Settle(static_cast<unsigned long long>(m_llNext), s, "_");
        const std::uint64_t length = FileONEAnalyser::SectionFileLength(h);
        // A section of no length would hold the walk in place: the classic
        // sizer, which stops there, takes the file.
        if (length == 0) {
            m_ullFileSize = 0;
            return 1;
        }
        if (length > static_cast<std::uint64_t>(kCap)) return 2;
        m_llNext += static_cast<long long>(length);
        if (m_llNext > kCap) return 2;
    }
}

} // namespace RawSpeed

// ---- Access -----------------------------------------------------------------

int FileMDBAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes h = info.WindowAt(sector).At(0, 20);
    if (StartsWith(h, "\x00\x01\x00\x00Standard Jet DB\x00", 20)) info.m_eRawFileType = kJet;
    else if (StartsWith(h, "\x00\x01\x00\x00Standard ACE DB\x00", 20)) info.m_eRawFileType = kAce;
    else return 0;
    return 1;
}

int FileMDBAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const unsigned long long room = BruteForce::DeviceRoom(info, device);
    if (room == 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(info.m_llStartSector));
    unsigned long long offset = kPage;
    for (; offset < kLimit; offset += kPage) {
        const unsigned char* p = file.Fetch(offset, 2);
        if (!p || p[0] == 0 || (p[0] | unsigned{p[1]} << 8) >= 0x0902) break;
    }
    info.m_ullFileSize = std::min(offset, room);
    return 1;
}

namespace RawSpeed {

int CMDBRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) {
    if (!sector || sectorBytes <= 0) return 2;
    const long long d = (s - m_llStartSector) * sectorBytes;
    const long long page = FileMDBAnalyser::kPage;
    if (d < static_cast<long long>(m_ullMinSize + m_ullMinSizeExtra) || d % page) return 2;
    if (d > kCap) return Settle(static_cast<unsigned long long>(d), s, "_");
    // The file ends where its run of empty pages began: this page counts in
    // the run when it is empty itself.
    const auto end = [&](bool emptyHere) {
        const long long size = d - static_cast<long long>(m_nEmptyRun - (emptyHere ? 1 : 0)) * page;
        return Settle(static_cast<unsigned long long>(size), s, "_");
    };
    if (!m_bPageWalk) return context.m_nTrailingZero >= 9 ? Settle(static_cast<unsigned long long>(d), s, "_") : 2;
    const unsigned type = sector[0] | unsigned{sector[1]} << 8;
    if (type == 0) {
        ++m_nEmptyRun;
        return m_nEmptyRun < 36 && !m_bEndSeen ? 2 : end(true);
    }
    if (type >= 0x0101 && type <= 0x0109) {
        m_nEmptyRun = 0;
        return m_bEndSeen ? end(false) : 2;
    }
    m_bEndSeen = true;
    if (d == page) {
        m_bPageWalk = false;
        return 2;
    }
    return end(false);
}

} // namespace RawSpeed

// ---- header-sized documents -------------------------------------------------

int FileLowDocAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow w = info.WindowAt(sector);
    const bytes::Bytes h = w.At(0, 0x12A);
    if (!StartsWith(h, "\xDB\xA5\x2D\x00", 4) && !StartsWith(h, "\x94\xA6\x2E\x00", 4)) return 0;
    const std::uint32_t size = (bytes::Le32(h, 0x124) + bytes::Le16(h, 0x128) + 511u) & ~511u;
    return SizedWithinDevice(info, w, size, kType);
}

int FileWPDAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow w = info.WindowAt(sector);
    const bytes::Bytes h = w.At(0, 24);
    if (!StartsWith(h, "\xFF" "WPC", 4)) return 0;
    struct Row {
        const char* a;
        const char* b;
        unsigned type;
    };
    static constexpr Row kRows[] = {{"\x01\x0A\x02\x01", "\x00\x02\x05\x00", kWpd},
                                    {"\x01\x16\x02\x00", "\x00\x00\x03\x00", kWpg},
                                    {"\x0F\x0F\x01\x00", "\x00\x00\x03\x00", kShw}};
    unsigned type = 0;
    for (const Row& r : kRows)
        if (StartsWith(h, r.a, 4, 8) && StartsWith(h, r.b, 4, 14)) type = r.type;
    if (type == 0) return 0;
    return SizedWithinDevice(info, w, bytes::Le32(h, 20), type);
}

int FileMNYAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow w = info.WindowAt(sector);
    const bytes::Bytes h = w.At(0, 19);
    if (!StartsWith(h, "MS", 2) || !StartsWith(h, "MSISAM Database", 15, 4)) return 0;
    // A fixed size, cut where the device ends.
    return SizedWithinDevice(info, w, std::min<std::uint64_t>(kSize, w.BytesToDeviceEnd()), kType);
}

std::uint64_t FilePSTAnalyser::StatedSize(bytes::Bytes h) {
    switch (bytes::U8(h, 10)) {
    case 14:
    case 15: return bytes::Le32(h, 0xA8);
    case 23:
    case 36: return bytes::Le64(h, 0xB8);
    default: return kDefaultSize;
    }
}

int FilePSTAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow w = info.WindowAt(sector);
    const bytes::Bytes h = w.At(0, 0xC0);
    if (!StartsWith(h, "!BDN", 4)) return 0;
    std::uint64_t size = StatedSize(h);
    if (size == kDefaultSize) size = std::min<std::uint64_t>(size, w.BytesToDeviceEnd());
    return SizedWithinDevice(info, w, size, kType);
}
