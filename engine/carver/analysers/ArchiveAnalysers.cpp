#include "engine/carver/analysers/ArchiveAnalysers.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/RawUtility.h"
#include "engine/carver/analysers/PictureWindow.h"
#include "engine/carver/analysers/ZipAnalyser.h"

#include <algorithm>
#include <cstring>
#include <string>

using BruteForce::DataEnd;
using BruteForce::DeviceRoom;
using BruteForce::HeldBytes;

namespace {

// Up to n bytes of the file at offset: fewer near the device's end, none on
// a failed read.
bytes::Bytes Avail(RawFileBuffer& file, unsigned long long offset, std::size_t n) {
    for (std::size_t want = n; want > 0; want = want > 16 ? 16 : want - 1)
        if (const unsigned char* p = file.Fetch(offset, want)) return bytes::Bytes(p, want);
    return {};
}

bool AllZero(const unsigned char* p, std::size_t n) {
    return std::all_of(p, p + n, [](unsigned char c) { return c == 0; });
}

} // namespace

// ---- gzip -------------------------------------------------------------------

bool FileGZAnalyser::Header(bytes::Bytes h) {
    return h.size() >= 10 && h[0] == 0x1F && h[1] == 0x8B && h[2] == 8 && h[3] < 32 && h[9] < 14;
}

int FileGZAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || !Header(info.WindowAt(sector).At(0, 10))) return 0;
    info.m_eRawFileType = kType;
    return 1;
}

int FileGZAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const unsigned long long room = DeviceRoom(info, device);
    if (room == 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(info.m_llStartSector));
    const unsigned long long ss = file.GetSectorSize();
    const unsigned char* h = file.Fetch(0, 10);
    if (!h || !Header(bytes::Bytes(h, 10))) return 0;
    const unsigned flags = h[3];
    unsigned long long pos = 10;
    const auto finish = [&](unsigned long long size) {
        info.m_ullFileSize = std::min(size, room);
        info.m_eRawFileType = kType;
        return 1;
    };
    if (flags & 4) {
        const unsigned char* x = file.Fetch(pos, 2);
        if (!x) return finish(pos);
        pos += 2 + (x[0] | unsigned{x[1]} << 8);
    }
    // Skips a zero-terminated text; false when the walk must stop at pos.
    const auto skipText = [&](std::string* keep) {
        for (;;) {
            if (pos > kNameLimit) return false;
            const unsigned char* c = file.GetRawFileBuffer(pos);
            if (!c) return false;
            ++pos;
            if (*c == 0) return true;
            if (keep && keep->size() < 1023) keep->push_back(static_cast<char>(*c));
        }
    };
    if (flags & 8) {
        std::string name;
        const bool ended = skipText(&name);
        info.SetRawFileName(name);
        if (!ended) return finish(pos);
    }
    if ((flags & 16) && !skipText(nullptr)) return finish(pos);
    if (flags & 2) pos += 2;
    // The deflate stream ends the member, whatever follows it; its CRC and
    // length follow, and further members may.
    for (unsigned members = 0; members < kMaxMembers; ++members) {
        const unsigned long long length = DeflatedLength(file, pos, kSearchLimit, room);
        if (length == ~0ull) break;
        const unsigned long long end = pos + length + 8;
        // A further member is taken when its header has no optional fields,
        // unless it begins a sector after zero bytes (the member before ends
        // in its length's high bytes or in slack): a file of its own.
        const unsigned char* next = file.Fetch(end, 10);
        if (!next || !Header(bytes::Bytes(next, 10)) || next[3] != 0) return finish(end);
        if (end % ss == 0) {
            const unsigned char* before = file.Fetch(end - 1, 1);
            if (before && *before == 0) return finish(end);
        }
        pos = end + 10;
    }
    // From the sector holding the data's start: a small member ends in its
    // first sector, and its zero tail there is where it ends.
    unsigned long long offset = pos / ss * ss;
    for (; offset <= kSearchLimit; offset += ss) {
        const unsigned char* p = file.Fetch(offset, ss);
        if (!p) return finish(offset);
        if (offset + ss >= pos + 8 && AllZero(p + ss - 8, 8)) return finish(offset + ss);
    }
    return finish(offset);
}

namespace RawSpeed {

int GZRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) {
    if (!sector || sectorBytes <= 0) return 2;
    const long long offset = (s - m_llStartSector) * sectorBytes;
    if (offset > kLimit) return Settle(static_cast<unsigned long long>(offset), s, "_");
    // The classic sizer inflates the member to its end, whatever follows it;
    // a sector's zero tail is kept as the end only for a stream too long
    // for that.
    if (offset == 0 || offset < m_llMinEnd) {
        m_ullFileSize = 0;
        return 1;
    }
    if (context.m_nTrailingZero < 8) return 2;
    if (offset < m_llMinEnd) {
        m_ullFileSize = 0;
        return 1;
    }
    // The trailer's length field may end in up to three zero bytes: keep
    // them (trailing zeros after a member are ignored by its readers).
    const int e = DataEnd(sector, sectorBytes);
    return Settle(static_cast<unsigned long long>(offset + std::min(e + 3, sectorBytes)), s, "_");
}

} // namespace RawSpeed

// ---- RAR --------------------------------------------------------------------

bool classRarSearch::GetBlockSize(bytes::Bytes b, std::uint64_t& size) {
    if (b.size() < 7) return false;
    const unsigned type = b[2];
    const std::uint64_t head = bytes::Le16(b, 5);
    if (type < 0x73 || type > 0x7B || head < 7) return false;
    const auto need = [&](std::size_t n) { return b.size() >= n; };
    switch (type) {
    case 0x73:
        if (head < 10) return false;
        size = head;
        return true;
    case 0x74:
        if (!need(16) || bytes::Le32(b, 7) > bytes::Le32(b, 11) || b[15] >= 5) return false;
        size = head + bytes::Le32(b, 7);
        return true;
    case 0x75:
        if (!need(9)) return false;
        size = head + bytes::Le16(b, 7);
        return true;
    case 0x76: size = head; return true;
    case 0x77:
        if (!need(14) || b[13] != 0) return false;
        size = head + bytes::Le32(b, 7);
        return true;
    case 0x78:
    case 0x7A:
    case 0x7B:
        if (head < 10 || !need(11)) return false;
        size = head + bytes::Le32(b, 7);
        return true;
    default: return false;
    }
}

int FileRARAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes h = info.WindowAt(sector).At(0, 7);
    if (h.empty() || h[4] != 0x1A || h[5] != 0x07 || h[6] != 0x00) return 0;
    info.m_eRawFileType = kType;
    return 1;
}

int FileRARAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const unsigned long long room = DeviceRoom(info, device);
    if (room == 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(info.m_llStartSector));
    std::uint64_t size = 0;
    if (!classRarSearch::GetBlockSize(Avail(file, 7, 16), size)) return 0;
    std::uint64_t offset = 7 + size;
    while (offset <= kChainLimit) {
        const bytes::Bytes b = Avail(file, offset, 16);
        if (b.size() < 7) return 0;
        if (!classRarSearch::GetBlockSize(b, size)) {
            if (std::memcmp(b.data(), classRarSearch::kEndBlock, 7) == 0) offset += 7;
            break;
        }
        offset += size;
    }
    info.m_ullFileSize = std::min<std::uint64_t>(offset, room);
    info.m_eRawFileType = kType;
    return 1;
}

namespace RawSpeed {

int RARRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) {
    if (!sector || sectorBytes <= 0) return 2;
    const long long offset = (s - m_llStartSector) * sectorBytes;
    if (offset > kLimit) return Settle(m_ullNext, s, "_");
    const std::uint64_t windowEnd = static_cast<std::uint64_t>(offset) + sectorBytes + 10;
    if (m_ullNext <= static_cast<std::uint64_t>(offset) || m_ullNext > windowEnd) return 2;
    // A block is judged once its 16 header bytes have been read.
    const auto blockAt = [&](std::uint64_t at) {
        return HeldBytes(context, s, sectorBytes, static_cast<long long>(at) - offset, 16);
    };
    std::uint64_t size = 0;
    if (m_bFirstPending) {
        if (offset != 0 || !classRarSearch::GetBlockSize(blockAt(7), size)) return 2;
        m_ullNext += size;
        m_bFirstPending = false;
    }
    while (m_bMoreBlocks) {
        if (m_ullNext > windowEnd) return 2;
        const bytes::Bytes b = blockAt(m_ullNext);
        if (b.empty()) return 2;
        if (!classRarSearch::GetBlockSize(b, size)) {
            m_bMoreBlocks = false;
            break;
        }
        m_ullNext += size;
    }
    const bytes::Bytes end = HeldBytes(context, s, sectorBytes, static_cast<long long>(m_ullNext) - offset, 7);
    if (end.empty() || std::memcmp(end.data(), classRarSearch::kEndBlock, 7) != 0) return 2;
    return Settle(m_ullNext + 15, s, "_");
}

} // namespace RawSpeed

// ---- LZH --------------------------------------------------------------------

FileLZHAnalyser::Method FileLZHAnalyser::MethodOf(bytes::Bytes h) {
    if (h.size() < 7) return Method::None;
    const char* m = reinterpret_cast<const char*>(h.data() + 2);
    if (std::memcmp(m, "-lh5-", 5) == 0 || std::memcmp(m, "-lh0-", 5) == 0) return Method::Plain;
    if (std::memcmp(m, "-lhd-", 5) == 0) return Method::Dir;
    if (std::memcmp(m, "-lh7-", 5) == 0) return Method::Lh7;
    return Method::None;
}

int FileLZHAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const Method m = MethodOf(info.WindowAt(sector).At(0, 11));
    if (m == Method::None || m == Method::Lh7) return 0;
    info.m_eRawFileType = kType;
    return 1;
}

namespace {

// One header's move of the LZH walk; false at a header without a method.
struct LzhWalk {
    long long next = 0;
    bool levelTwo = false;
    bool mayStepBack = false;
    bool Step(bytes::Bytes h) {
        const std::uint64_t head = h[0], packed = bytes::Le32(h, 7);
        switch (FileLZHAnalyser::MethodOf(h)) {
        case FileLZHAnalyser::Method::Plain:
            next += static_cast<long long>(head + packed + (levelTwo ? 0 : 2));
            mayStepBack = !levelTwo;
            return true;
        case FileLZHAnalyser::Method::Dir:
            next += static_cast<long long>(head);
            levelTwo = true;
            return true;
        case FileLZHAnalyser::Method::Lh7:
            next += static_cast<long long>(head + packed);
            levelTwo = true;
            return true;
        default: return false;
        }
    }
};

} // namespace

int FileLZHAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const unsigned long long room = DeviceRoom(info, device);
    if (room == 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(info.m_llStartSector));
    const unsigned long long ss = file.GetSectorSize();
    LzhWalk w;
    for (int headers = 0; headers < 2048; ++headers) {
        const bytes::Bytes h = Avail(file, static_cast<unsigned long long>(w.next), 11);
        if (h.size() < 11) break;
        if (w.Step(h)) {
            if (static_cast<unsigned long long>(w.next) > kWalkLimit) break;
            continue;
        }
        if (!w.mayStepBack) break;
        w.next -= 2;
        w.mayStepBack = false;
    }
    if (w.next <= 0) return 0;
    const unsigned long long size = (static_cast<unsigned long long>(w.next) + ss - 1) / ss * ss;
    info.m_ullFileSize = std::min(size, room);
    info.m_eRawFileType = kType;
    return 1;
}

namespace Orvex {

int LZHAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || FileLZHAnalyser::MethodOf(info.WindowAt(sector).At(0, 11)) == FileLZHAnalyser::Method::None)
        return 0;
    info.m_eRawFileType = FileLZHAnalyser::kType;
    return 1;
}

int LZHRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) {
    if (!sector || sectorBytes <= 0) return 2;
    const long long offset = (s - m_llStartSector) * sectorBytes;
    if (offset >= 10 * kLimit) {
        m_ullFileSize = kLimit;
        return 1;
    }
    const long long examined = offset + sectorBytes;
    if (m_llNextHeader >= examined) return 2;
    LzhWalk w{m_llNextHeader, m_bLevelTwo, m_bMayStepBack};
    const auto keep = [&] {
        m_llNextHeader = w.next;
        m_bLevelTwo = w.levelTwo;
        m_bMayStepBack = w.mayStepBack;
    };
    for (int headers = 0; headers < 1024; ++headers) {
        const bytes::Bytes h = HeldBytes(context, s, sectorBytes, w.next - offset, 11);
        if (h.empty()) {
            keep();
            return 2;
        }
        if (w.Step(h)) {
            m_bLastWasStepBack = false;
            if (w.next >= examined || w.next > 10 * kLimit) break;
            continue;
        }
        // Each plain entry allows one step back (its header may have been
        // counted two bytes long).
        if (w.mayStepBack) {
            w.next -= 2;
            w.mayStepBack = false;
            m_bLastWasStepBack = true;
            if (w.next >= examined) break;
            continue;
        }
        keep();
        // The archive's terminating zero byte follows its last header's data.
        return Settle(static_cast<unsigned long long>(w.next + (m_bLastWasStepBack ? 3 : 1)), s, "_");
    }
    keep();
    return 2;
}

} // namespace Orvex

// ---- tar --------------------------------------------------------------------

bool FileTARAnalyser::IsHeader(bytes::Bytes b) { return b.size() >= 262 && std::memcmp(b.data() + 257, "ustar", 5) == 0; }

std::uint64_t FileTARAnalyser::EntrySize(bytes::Bytes b) {
    if (b.size() < 136) return 0;
    const unsigned char* f = b.data() + 124;
    if (f[0] & 0x80) {
        // Base 256: the rest of the field, big-endian; kept within 62 bits.
        std::uint64_t v = 0;
        for (int i = 1; i < 12; ++i) {
            if (v >> 54) return std::uint64_t{1} << 62;
            v = v << 8 | f[i];
        }
        return v;
    }
    int i = 0;
    while (i < 12 && (f[i] == ' ' || f[i] == 0)) ++i;
    std::uint64_t v = 0;
    for (; i < 12 && f[i] >= '0' && f[i] <= '7'; ++i) v = v * 8 + (f[i] - '0');
    return v;
}

std::uint64_t FileTARAnalyser::EntryBytes(bytes::Bytes b) {
    return kBlock + (EntrySize(b) + kBlock - 1) / kBlock * kBlock;
}

int FileTARAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || !IsHeader(info.WindowAt(sector).At(0, kBlock))) return 0;
    info.m_eRawFileType = kType;
    return 1;
}

int FileTARAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const unsigned long long room = DeviceRoom(info, device);
    if (room == 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(info.m_llStartSector));
    unsigned long long offset = 0;
    while (offset <= kWalkLimit) {
        const unsigned char* p = file.Fetch(offset, kBlock);
        if (!p || !IsHeader(bytes::Bytes(p, kBlock))) break;
        offset += EntryBytes(bytes::Bytes(p, kBlock));
    }
    if (offset == 0) return 0;
    // The two zero blocks that close the archive.
    info.m_ullFileSize = std::min(offset + 2 * kBlock, room);
    info.m_eRawFileType = kType;
    return 1;
}

namespace RawSpeed {

int TARRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorBytes % FileTARAnalyser::kBlock) return 2;
    const long long offset = (s - m_llStartSector) * sectorBytes;
    const auto from = static_cast<std::uint64_t>(offset);
    // Headers lie on 512-byte blocks from the archive's start, whatever the
    // device's sector size: each one inside this sector is read in turn.
    while (m_ullNextHeader >= from && m_ullNextHeader < from + static_cast<unsigned>(sectorBytes)) {
        const bytes::Bytes b(sector + (m_ullNextHeader - from), FileTARAnalyser::kBlock);
        if (!FileTARAnalyser::IsHeader(b)) {
            const std::uint64_t end = std::min(m_ullNextHeader + 2 * FileTARAnalyser::kBlock,
                                               BruteForce::WindowRoom(context, offset));
            return Settle(end, s, "_");
        }
        m_ullEntryData = m_ullNextHeader + FileTARAnalyser::kBlock;
        m_ullNextHeader += FileTARAnalyser::EntryBytes(b);
    }
    return 2;
}

} // namespace RawSpeed

// ---- StuffIt ----------------------------------------------------------------

namespace {

constexpr unsigned char kWebb[16] = {0x57, 0x45, 0x42, 0x42, 0x41, 0x49, 0x4B, 0x45,
                                     0x66, 0x66, 0xEB, 0xB4, 0xA3, 0x74, 0xBD, 0x7B};
constexpr unsigned char kSitxEnds[3][8] = {{0x02, 0xD7, 0x0A, 0x19, 0x98, 0xF6, 0x42, 0x88},
                                           {0x02, 0xD7, 0x0A, 0x3B, 0x98, 0xF6, 0x42, 0x88},
                                           {0x02, 0xD7, 0x0A, 0x10, 0x98, 0xF6, 0x42, 0x88}};

bool StuffItHead(bytes::Bytes h) { return h.size() >= 8 && std::memcmp(h.data() + 4, "fIt", 3) == 0; }

// The classic layout's size field: the limit stands in for 0 and for sizes at or past it.
std::uint64_t SitFieldSize(bytes::Bytes h, std::uint64_t limit) {
    const std::uint32_t v = bytes::Be32(h, 84);
    return v >= 1 && v < limit ? v : limit;
}

// Searches "02 D7 0A": 0 when absent, else the end it gives (a nonzero
// offset into p, or ~0 when the marker's tail does not follow).
std::uint64_t SitxMarkerEnd(const unsigned char* p, std::size_t n) {
    static constexpr unsigned char lead[3] = {0x02, 0xD7, 0x0A};
    const unsigned char* m = Apimemstr(p, static_cast<long long>(n), lead, 3);
    if (!m) return 0;
    const std::size_t at = static_cast<std::size_t>(m - p);
    if (at + 8 > n || std::memcmp(m + 4, kSitxEnds[0] + 4, 4) != 0) return ~std::uint64_t{0};
    return at + 8 + (m[3] == 0x19 ? 4 : m[3] == 0x3B ? 5 : 6);
}

} // namespace

int FileSITAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || !StuffItHead(info.WindowAt(sector).At(0, 8))) return 0;
    info.m_eRawFileType = sector[7] == '!' ? kSitx : kSit;
    return 1;
}

std::uint64_t FileSITAnalyser::GetSITFileSize(bytes::Bytes head) {
    const std::uint32_t v = bytes::Be32(head, 84);
    return v & 0x80000000u ? kWalkLimit : v;
}

std::uint64_t FileSITAnalyser::GetSITXFileSize(RawFileBuffer& file) {
    const unsigned long long ss = file.GetSectorSize();
    unsigned long long offset = 0;
    for (; offset < kWalkLimit; offset += ss) {
        const unsigned char* p = file.Fetch(offset, ss);
        if (!p) break;
        if (p[ss - 1] | p[ss - 2]) continue;
        if (const std::uint64_t e = SitxMarkerEnd(p, ss)) return e == ~std::uint64_t{0} ? offset : offset + e;
        const unsigned long long back = offset ? offset - 16 : 0;
        if (const unsigned char* q = file.Fetch(back, 32)) {
            const std::uint64_t e = SitxMarkerEnd(q, 32);
            if (e && e != ~std::uint64_t{0}) return offset + ss;
        }
    }
    return offset;
}

int FileSITAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const unsigned long long room = DeviceRoom(info, device);
    if (room == 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(info.m_llStartSector));
    const unsigned char* h = file.Fetch(0, 88);
    if (!h || (h[7] != ' ' && h[7] != '!')) {
        info.m_ullFileSize = 0;
        return 0;
    }
    const bool sitx = h[7] == '!';
    const std::uint64_t size = sitx ? GetSITXFileSize(file) : GetSITFileSize(bytes::Bytes(h, 88));
    info.m_ullFileSize = std::min<std::uint64_t>(size, room);
    info.m_eRawFileType = m_nType = sitx ? kSitx : kSit;
    return 1;
}

namespace RawSpeed {

int SITAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes h = info.WindowAt(sector).At(0, 16);
    if (h.empty()) return 0;
    if (std::memcmp(h.data(), kWebb, 16) == 0) {
        info.m_eRawFileType = FileSITAnalyser::kSit;
        return 1;
    }
    if (!StuffItHead(h)) return 0;
    info.m_eRawFileType = h[7] == '!' ? FileSITAnalyser::kSitx : FileSITAnalyser::kSit;
    return 1;
}

void SITRawFileInfo::JudgeSIT(const unsigned char* first) {
    m_bJudgePending = false;
    if (std::memcmp(first, kWebb, 16) == 0) m_bSixteenByteHeader = true;
    if (first[7] == '!') {
        m_eRawFileType = FileSITAnalyser::kSitx;
        m_bClassicLayout = false;
    } else if (first[7] == ' ') {
        m_eRawFileType = FileSITAnalyser::kSit;
        m_bClassicLayout = true;
    }
}

int SITRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) {
    if (!sector || sectorBytes <= 0) return 2;
    const long long offset = (s - m_llStartSector) * sectorBytes;
    if (m_bJudgePending && offset == 0) JudgeSIT(sector);
    if (m_bSixteenByteHeader) {
        if (context.m_nTrailingZero < 9) return 2;
        return Settle(static_cast<unsigned long long>(offset + DataEnd(sector, sectorBytes)), s, "");
    }
    if (m_bClassicLayout) {
        // Sized from the first sector's field, within the data present.
        const bytes::Bytes h = HeldBytes(context, s, sectorBytes, -offset, 88);
        m_ullFileSize = std::min<std::uint64_t>(SitFieldSize(h, kLimit), BruteForce::WindowRoom(context, offset));
        return 1;
    }
    if (context.m_nTrailingZero < 4) return 2;
    if (offset > kLimit) return Settle(kLimit, s, "");
    const int e = DataEnd(sector, sectorBytes);
    const bytes::Bytes prev = s - 1 >= context.m_llWindowStart && offset > 0
                                  ? HeldBytes(context, s, sectorBytes, -sectorBytes, static_cast<std::size_t>(sectorBytes) + e)
                                  : bytes::Bytes();
    const bytes::Bytes data = prev.empty() ? bytes::Bytes(sector, static_cast<std::size_t>(e)) : prev;
    if (data.size() < 21) return 2;
    for (std::size_t at = data.size() - 19; at + 8 <= data.size(); ++at)
        for (const auto& mark : kSitxEnds)
            if (std::memcmp(data.data() + at, mark, 8) == 0)
                return Settle(static_cast<unsigned long long>(offset + e), s, "");
    return 2;
}

} // namespace RawSpeed
