#include "engine/ntfs/NtfsMetaFileMatch.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

// ---- sector ranges ----------------------------------------------------------

void CMetaFileAnalyzer::CombineSectorOfRange(long long s) {
    // Ranges never overlap and grow only at their end, so one range at most
    // ends right before s.
    if (auto it = m_byEnd.find(s); it != m_byEnd.end()) {
        const std::size_t i = it->second;
        m_byEnd.erase(it);
        ++m_ranges[i].second;
        m_byEnd.emplace(s + 1, i);
        return;
    }
    if (m_ranges.size() >= ntfs::kMaxFinds) return;
    m_ranges.emplace_back(s, 1);
    m_byEnd.emplace(s + 1, m_ranges.size() - 1);
}

long long CMetaFileAnalyzer::GetSectorRangeCount(long long a, long long b) const {
    long long sum = 0;
    for (const auto& [f, count] : m_ranges) {
        const long long e = f + count - 1;
        if (b <= e && f <= a) return sum + (b - a + 1);
        if (b <= e && a < f && f <= b)
            sum += b + 1 - f;
        else if (b > e && f > a)
            sum += count;
        else if (b > e && f <= a && a <= e)
            sum += e + 1 - a;
    }
    return sum;
}

long long CMetaFileAnalyzer::GetMatchCount(const CNTFSDataRunList& runs, long long start, unsigned spc) const {
    long long sum = 0;
    for (const CDataRun& r : runs.Runs()) {
        long long first = 0, length = 0;
        if (r.lcn < 0 || r.length <= 0 || __builtin_mul_overflow(r.lcn, static_cast<long long>(spc), &first) ||
            __builtin_add_overflow(first, start, &first) ||
            __builtin_mul_overflow(r.length, static_cast<long long>(spc), &length) || length > LLONG_MAX - first)
            continue;
        // The run's own sectors, its last one included.
        sum += GetSectorRangeCount(first, first + length - 1);
    }
    return sum;
}

bool CMetaFileAnalyzer::CompareSectorBuffer(const std::uint8_t* a, const std::uint8_t* b) {
    return std::memcmp(a, b, 512) == 0;
}

// ---- standard contents ------------------------------------------------------

template <typename Info>
void CStandardContentAnalyzer<Info>::AnalyzeRecord(long long sector, const CNTFSFileRecord& record) {
    if (m_finds.size() >= ntfs::kMaxFinds) return;
    auto info = std::make_unique<Info>();
    if (info->InitFromBuffer(record, sector)) m_finds.push_back(std::move(info));
}

template <typename Info>
const Info* CStandardContentAnalyzer<Info>::FindFileInfo(const CSearchedNTFSPartitionInfo& c) const {
    if (c.m_mftSector >= 0) {
        const long long want = c.m_mftSector + m_recordOffset;
        for (const auto& f : m_finds) {
            if (f->GetSectorAddress() == want) return f.get();
            if (f->GetSectorAddress() > want) break;
        }
    }
    const long long start = c.m_clusterOrigin;
    const long long end = start + static_cast<long long>(c.GetTotalSectors());
    for (const auto& f : m_finds) {
        if (f->GetSectorAddress() >= end) break;
        if (f->GetSectorAddress() >= start) return f.get();
    }
    return nullptr;
}

template <typename Info>
long long CStandardContentAnalyzer<Info>::CalcMatch(const CSearchedNTFSPartitionInfo& c) const {
    const Info* info = FindFileInfo(c);
    return info ? m_sectors.GetMatchCount(info->GetDataRunList(), c.m_clusterOrigin, c.m_sectorsPerCluster) : 0;
}

template class CStandardContentAnalyzer<CAttrDefFileInfo>;
template class CStandardContentAnalyzer<CUpCaseFileInfo>;

namespace {
struct AttrDefRow {
    const char* name;
    std::uint32_t type, flags;
    std::int64_t min, max;
};
// The attribute definitions the formatter writes, in its order.
constexpr AttrDefRow kAttrDefs[] = {
    {"$STANDARD_INFORMATION", 0x10, 0x40, 48, 72}, {"$ATTRIBUTE_LIST", 0x20, 0x80, 0, -1},
    {"$FILE_NAME", 0x30, 0x42, 68, 578},           {"$OBJECT_ID", 0x40, 0x40, 0, 256},
    {"$SECURITY_DESCRIPTOR", 0x50, 0x80, 0, -1},   {"$VOLUME_NAME", 0x60, 0x40, 2, 256},
    {"$VOLUME_INFORMATION", 0x70, 0x40, 12, 12},   {"$DATA", 0x80, 0, 0, -1},
    {"$INDEX_ROOT", 0x90, 0x40, 0, -1},            {"$INDEX_ALLOCATION", 0xA0, 0x80, 0, -1},
    {"$BITMAP", 0xB0, 0x80, 0, -1},                {"$REPARSE_POINT", 0xC0, 0x80, 0, 16384},
    {"$EA_INFORMATION", 0xD0, 0x40, 8, 8},         {"$EA", 0xE0, 0, 0, 65536},
    {"$LOGGED_UTILITY_STREAM", 0x100, 0x80, 0, 65536},
};
constexpr std::size_t kAttrDefBytes = 2560;
constexpr std::size_t kUpCaseBytes = 131072;

void Put(std::uint8_t* at, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
} // namespace

const std::uint8_t* CAttrDefFileAnalyzer::StandardContent() {
    static const std::array<std::uint8_t, kAttrDefBytes> table = [] {
        std::array<std::uint8_t, kAttrDefBytes> t{};
        for (std::size_t i = 0; i < std::size(kAttrDefs); ++i) {
            std::uint8_t* d = t.data() + 160 * i;
            const AttrDefRow& r = kAttrDefs[i];
            for (std::size_t c = 0; r.name[c]; ++c) d[2 * c] = static_cast<std::uint8_t>(r.name[c]);
            Put(d + 128, r.type, 4);
            Put(d + 140, r.flags, 4);
            Put(d + 144, static_cast<std::uint64_t>(r.min), 8);
            Put(d + 152, static_cast<std::uint64_t>(r.max), 8);
        }
        return t;
    }();
    return table.data();
}

// The $UpCase table as Windows (Vista and later), mkntfs and the kernel's
// ntfs3 write it, identical on every volume they format: each entry its own
// value but for these runs, where entries first, first + step, ... last map
// to themselves plus delta. A library's own Unicode case mapping differs from
// it in a dozen pages, so a real volume would never match in full.
namespace {
struct UpCaseRun {
    std::uint16_t first, last;
    std::int32_t delta;
    std::uint16_t step;
};
constexpr UpCaseRun kUpCaseRuns[] = {
    {0x0061, 0x007A, -32, 1}, {0x00E0, 0x00F6, -32, 1}, {0x00F8, 0x00FE, -32, 1}, {0x00FF, 0x00FF, 121, 1},
    {0x0101, 0x012F, -1, 2}, {0x0133, 0x0137, -1, 2}, {0x013A, 0x0148, -1, 2}, {0x014B, 0x0177, -1, 2},
    {0x017A, 0x017E, -1, 2}, {0x0180, 0x0180, 195, 1}, {0x0183, 0x0185, -1, 2}, {0x0188, 0x0188, -1, 1},
    {0x018C, 0x018C, -1, 1}, {0x0192, 0x0192, -1, 1}, {0x0195, 0x0195, 97, 1}, {0x0199, 0x0199, -1, 1},
    {0x019A, 0x019A, 163, 1}, {0x019E, 0x019E, 130, 1}, {0x01A1, 0x01A5, -1, 2}, {0x01A8, 0x01A8, -1, 1},
    {0x01AD, 0x01AD, -1, 1}, {0x01B0, 0x01B0, -1, 1}, {0x01B4, 0x01B6, -1, 2}, {0x01B9, 0x01B9, -1, 1},
    {0x01BD, 0x01BD, -1, 1}, {0x01BF, 0x01BF, 56, 1}, {0x01C6, 0x01C6, -2, 1}, {0x01C9, 0x01C9, -2, 1},
    {0x01CC, 0x01CC, -2, 1}, {0x01CE, 0x01DC, -1, 2}, {0x01DD, 0x01DD, -79, 1}, {0x01DF, 0x01EF, -1, 2},
    {0x01F3, 0x01F3, -2, 1}, {0x01F5, 0x01F5, -1, 1}, {0x01F9, 0x021F, -1, 2}, {0x0223, 0x0233, -1, 2},
    {0x023C, 0x023C, -1, 1}, {0x0242, 0x0242, -1, 1}, {0x0247, 0x024F, -1, 2}, {0x0250, 0x0250, 10783, 1},
    {0x0251, 0x0251, 10780, 1}, {0x0253, 0x0253, -210, 1}, {0x0254, 0x0254, -206, 1}, {0x0256, 0x0257, -205, 1},
    {0x0259, 0x0259, -202, 1}, {0x025B, 0x025B, -203, 1}, {0x0260, 0x0260, -205, 1}, {0x0263, 0x0263, -207, 1},
    {0x0268, 0x0268, -209, 1}, {0x0269, 0x0269, -211, 1}, {0x026B, 0x026B, 10743, 1}, {0x026F, 0x026F, -211, 1},
    {0x0271, 0x0271, 10749, 1}, {0x0272, 0x0272, -213, 1}, {0x0275, 0x0275, -214, 1}, {0x027D, 0x027D, 10727, 1},
    {0x0280, 0x0280, -218, 1}, {0x0283, 0x0283, -218, 1}, {0x0288, 0x0288, -218, 1}, {0x0289, 0x0289, -69, 1},
    {0x028A, 0x028B, -217, 1}, {0x028C, 0x028C, -71, 1}, {0x0292, 0x0292, -219, 1}, {0x0371, 0x0373, -1, 2},
    {0x0377, 0x0377, -1, 1}, {0x037B, 0x037D, 130, 1}, {0x03AC, 0x03AC, -38, 1}, {0x03AD, 0x03AF, -37, 1},
    {0x03B1, 0x03C1, -32, 1}, {0x03C3, 0x03CB, -32, 1}, {0x03CC, 0x03CC, -64, 1}, {0x03CD, 0x03CE, -63, 1},
    {0x03D7, 0x03D7, -8, 1}, {0x03D9, 0x03EF, -1, 2}, {0x03F2, 0x03F2, 7, 1}, {0x03F8, 0x03F8, -1, 1},
    {0x03FB, 0x03FB, -1, 1}, {0x0430, 0x044F, -32, 1}, {0x0450, 0x045F, -80, 1}, {0x0461, 0x0481, -1, 2},
    {0x048B, 0x04BF, -1, 2}, {0x04C2, 0x04CE, -1, 2}, {0x04CF, 0x04CF, -15, 1}, {0x04D1, 0x0523, -1, 2},
    {0x0561, 0x0586, -48, 1}, {0x1D79, 0x1D79, 35332, 1}, {0x1D7D, 0x1D7D, 3814, 1}, {0x1E01, 0x1E95, -1, 2},
    {0x1EA1, 0x1EFF, -1, 2}, {0x1F00, 0x1F07, 8, 1}, {0x1F10, 0x1F15, 8, 1}, {0x1F20, 0x1F27, 8, 1},
    {0x1F30, 0x1F37, 8, 1}, {0x1F40, 0x1F45, 8, 1}, {0x1F51, 0x1F57, 8, 2}, {0x1F60, 0x1F67, 8, 1},
    {0x1F70, 0x1F71, 74, 1}, {0x1F72, 0x1F75, 86, 1}, {0x1F76, 0x1F77, 100, 1}, {0x1F78, 0x1F79, 128, 1},
    {0x1F7A, 0x1F7B, 112, 1}, {0x1F7C, 0x1F7D, 126, 1}, {0x1F80, 0x1F87, 8, 1}, {0x1F90, 0x1F97, 8, 1},
    {0x1FA0, 0x1FA7, 8, 1}, {0x1FB0, 0x1FB1, 8, 1}, {0x1FB3, 0x1FB3, 9, 1}, {0x1FC3, 0x1FC3, 9, 1},
    {0x1FD0, 0x1FD1, 8, 1}, {0x1FE0, 0x1FE1, 8, 1}, {0x1FE5, 0x1FE5, 7, 1}, {0x1FF3, 0x1FF3, 9, 1},
    {0x214E, 0x214E, -28, 1}, {0x2170, 0x217F, -16, 1}, {0x2184, 0x2184, -1, 1}, {0x24D0, 0x24E9, -26, 1},
    {0x2C30, 0x2C5E, -48, 1}, {0x2C61, 0x2C61, -1, 1}, {0x2C65, 0x2C65, -10795, 1}, {0x2C66, 0x2C66, -10792, 1},
    {0x2C68, 0x2C6C, -1, 2}, {0x2C73, 0x2C73, -1, 1}, {0x2C76, 0x2C76, -1, 1}, {0x2C81, 0x2CE3, -1, 2},
    {0x2D00, 0x2D25, -7264, 1}, {0xA641, 0xA65F, -1, 2}, {0xA663, 0xA66D, -1, 2}, {0xA681, 0xA697, -1, 2},
    {0xA723, 0xA72F, -1, 2}, {0xA733, 0xA76F, -1, 2}, {0xA77A, 0xA77C, -1, 2}, {0xA77F, 0xA787, -1, 2},
    {0xA78C, 0xA78C, -1, 1}, {0xFF41, 0xFF5A, -32, 1},
};
// The table Windows NT 4, 2000 and XP write, from an older Unicode: 13 of its
// pages differ from the newer table's (final sigma maps to capital sigma
// here, and the letters Unicode added later map to themselves).
constexpr UpCaseRun kXpUpCaseRuns[] = {
    {0x0061, 0x007A, -32, 1}, {0x00E0, 0x00F6, -32, 1}, {0x00F8, 0x00FE, -32, 1}, {0x00FF, 0x00FF, 121, 1},
    {0x0101, 0x012F, -1, 2}, {0x0133, 0x0137, -1, 2}, {0x013A, 0x0148, -1, 2}, {0x014B, 0x0177, -1, 2},
    {0x017A, 0x017E, -1, 2}, {0x0183, 0x0185, -1, 2}, {0x0188, 0x0188, -1, 1}, {0x018C, 0x018C, -1, 1},
    {0x0192, 0x0192, -1, 1}, {0x0199, 0x0199, -1, 1}, {0x01A1, 0x01A5, -1, 2}, {0x01A8, 0x01A8, -1, 1},
    {0x01AD, 0x01AD, -1, 1}, {0x01B0, 0x01B0, -1, 1}, {0x01B4, 0x01B6, -1, 2}, {0x01B9, 0x01B9, -1, 1},
    {0x01BD, 0x01BD, -1, 1}, {0x01C6, 0x01C6, -2, 1}, {0x01C9, 0x01C9, -2, 1}, {0x01CC, 0x01CC, -2, 1},
    {0x01CE, 0x01DC, -1, 2}, {0x01DD, 0x01DD, -79, 1}, {0x01DF, 0x01EF, -1, 2}, {0x01F3, 0x01F3, -2, 1},
    {0x01F5, 0x01F5, -1, 1}, {0x01FB, 0x0217, -1, 2}, {0x0253, 0x0253, -210, 1}, {0x0254, 0x0254, -206, 1},
    {0x0256, 0x0257, -205, 1}, {0x0259, 0x0259, -202, 1}, {0x025B, 0x025B, -203, 1}, {0x0260, 0x0260, -205, 1},
    {0x0263, 0x0263, -207, 1}, {0x0268, 0x0268, -209, 1}, {0x0269, 0x0269, -211, 1}, {0x026F, 0x026F, -211, 1},
    {0x0272, 0x0272, -213, 1}, {0x0275, 0x0275, -214, 1}, {0x0283, 0x0283, -218, 1}, {0x0288, 0x0288, -218, 1},
    {0x028A, 0x028B, -217, 1}, {0x0292, 0x0292, -219, 1}, {0x03AC, 0x03AC, -38, 1}, {0x03AD, 0x03AF, -37, 1},
    {0x03B1, 0x03C1, -32, 1}, {0x03C2, 0x03C2, -31, 1}, {0x03C3, 0x03CB, -32, 1}, {0x03CC, 0x03CC, -64, 1},
    {0x03CD, 0x03CE, -63, 1}, {0x03E3, 0x03EF, -1, 2}, {0x0430, 0x044F, -32, 1}, {0x0451, 0x045C, -80, 1},
    {0x045E, 0x045F, -80, 1}, {0x0461, 0x0481, -1, 2}, {0x0491, 0x04BF, -1, 2}, {0x04C2, 0x04C4, -1, 2},
    {0x04C8, 0x04C8, -1, 1}, {0x04CC, 0x04CC, -1, 1}, {0x04D1, 0x04EB, -1, 2}, {0x04EF, 0x04F5, -1, 2},
    {0x04F9, 0x04F9, -1, 1}, {0x0561, 0x0586, -48, 1}, {0x1E01, 0x1E95, -1, 2}, {0x1EA1, 0x1EF9, -1, 2},
    {0x1F00, 0x1F07, 8, 1}, {0x1F10, 0x1F15, 8, 1}, {0x1F20, 0x1F27, 8, 1}, {0x1F30, 0x1F37, 8, 1},
    {0x1F40, 0x1F45, 8, 1}, {0x1F51, 0x1F57, 8, 2}, {0x1F60, 0x1F67, 8, 1}, {0x1F70, 0x1F71, 74, 1},
    {0x1F72, 0x1F75, 86, 1}, {0x1F76, 0x1F77, 100, 1}, {0x1F78, 0x1F79, 128, 1}, {0x1F7A, 0x1F7B, 112, 1},
    {0x1F7C, 0x1F7D, 126, 1}, {0x1FB0, 0x1FB1, 8, 1}, {0x1FD0, 0x1FD1, 8, 1}, {0x1FE0, 0x1FE1, 8, 1},
    {0x1FE5, 0x1FE5, 7, 1}, {0x2170, 0x217F, -16, 1}, {0x24D0, 0x24E9, -26, 1}, {0xFF41, 0xFF5A, -32, 1},
};

template <std::size_t N>
std::vector<std::uint8_t> UpCaseTable(const UpCaseRun (&runs)[N]) {
    std::vector<std::uint8_t> t(kUpCaseBytes);
    for (std::uint32_t c = 0; c < 0x10000; ++c) Put(t.data() + 2 * c, c, 2);
    for (const UpCaseRun& r : runs)
        for (std::uint32_t c = r.first; c <= r.last; c += r.step)
            Put(t.data() + 2 * c, static_cast<std::uint32_t>(static_cast<std::int32_t>(c) + r.delta), 2);
    return t;
}
} // namespace

const std::uint8_t* CUpCaseFileAnalyzer::StandardContent() {
    static const std::vector<std::uint8_t> table = UpCaseTable(kUpCaseRuns);
    return table.data();
}

const std::uint8_t* CUpCaseFileAnalyzer::WindowsXpContent() {
    static const std::vector<std::uint8_t> table = UpCaseTable(kXpUpCaseRuns);
    return table.data();
}

int CAttrDefFileAnalyzer::AnalyzeSectorBuffer(long long sector, const std::uint8_t* buffer) {
    const std::uint8_t* table = StandardContent();
    // Per sector of the table, its first eight bytes that are not all zero:
    // most sectors differ there already, zero-filled ones included.
    static const std::array<std::size_t, kAttrDefBytes / 512> probe = [table] {
        std::array<std::size_t, kAttrDefBytes / 512> at{};
        for (std::size_t i = 0; i < at.size(); ++i) {
            const std::uint8_t* s = table + 512 * i;
            while (at[i] + 8 < 512 && std::all_of(s + at[i], s + at[i] + 8, [](std::uint8_t b) { return b == 0; }))
                at[i] += 8;
        }
        return at;
    }();
    for (std::size_t i = 0; i < kAttrDefBytes / 512; ++i) {
        if (std::memcmp(buffer + probe[i], table + 512 * i + probe[i], 8) != 0) continue;
        if (CMetaFileAnalyzer::CompareSectorBuffer(buffer, table + 512 * i)) {
            m_sectors.CombineSectorOfRange(sector);
            return 1;
        }
    }
    return 0;
}

int CUpCaseFileAnalyzer::AnalyzeSectorBuffer(long long sector, const std::uint8_t* buffer) {
    // A page is found by its first four entries, not by the high byte of its
    // first one: a page may begin with letters of another (0x2D00 maps to
    // 0x10A0). The pages of both tables are looked at; a page the two share
    // counts once.
    using Head = std::pair<std::uint64_t, const std::uint8_t*>;
    static const std::array<Head, 512> heads = [] {
        std::array<Head, 512> h{};
        const std::uint8_t* tables[] = {StandardContent(), WindowsXpContent()};
        for (std::size_t k = 0; k < h.size(); ++k) {
            const std::uint8_t* page = tables[k / 256] + 512 * (k % 256);
            h[k] = {bytes::Le64(ntfs::Bytes(page, 8), 0), page};
        }
        std::stable_sort(h.begin(), h.end(), [](const Head& a, const Head& b) { return a.first < b.first; });
        return h;
    }();
    const std::uint64_t first = bytes::Le64(ntfs::Bytes(buffer, 8), 0);
    for (auto it = std::lower_bound(heads.begin(), heads.end(), first,
                                    [](const Head& h, std::uint64_t v) { return h.first < v; });
         it != heads.end() && it->first == first; ++it) {
        if (!CMetaFileAnalyzer::CompareSectorBuffer(buffer, it->second)) continue;
        m_sectors.CombineSectorOfRange(sector);
        return 1;
    }
    return 0;
}

// ---- record groups ----------------------------------------------------------

namespace {
constexpr std::uint32_t kNoMetaFile = 0xFFFFFFFF;
enum : std::uint32_t { kMftIndex = 0, kMftMirrIndex = 1, kBitmapIndex = 6 };
} // namespace

CMetaFileRecordGroupinMFTAnalyzer::CMetaFileRecordGroupinMFTAnalyzer(CNTFSPartitionInfoBuilder& builder,
                                                                     NtfsMetaFileLists& lists,
                                                                     unsigned sectorsPerRecord)
    : m_builder(builder), m_lists(lists), m_spr(sectorsPerRecord ? sectorsPerRecord : 1) {}

void CMetaFileRecordGroupinMFTAnalyzer::CloseGroup() {
    if (m_mft) {
        if (!m_mirr) {
            AnalyzeSingleMFT(*m_mft);
        } else {
            const CMFTFilesPair pair{m_mft, m_mirr};
            AnalyzeMFTFilesPair(pair);
            m_lists.pairs.push_back(pair);
        }
    }
    m_mft = nullptr;
    m_mirr = nullptr;
    m_first = -1;
    m_bitmapClusters = -1;
}

void CMetaFileRecordGroupinMFTAnalyzer::Finish() { CloseGroup(); }

int CMetaFileRecordGroupinMFTAnalyzer::AnalyzeNTFSMetaFileRecord(long long s, const CNTFSFileRecord& record) {
    const bool valid = record.IsValid();
    const long long offset = m_first >= 0 ? s - m_first : -1;
    const long long groupSpan = 8LL * m_spr;
    // The later sectors of a record of the group.
    if (!valid && m_first >= 0 && offset % m_spr != 0 && offset <= groupSpan) return 0;
    const std::uint32_t index = valid ? CMetaFileRecordTypeAnalyzer::GetMetaFileRecordIndex(record) : kNoMetaFile;
    if (!valid || index == kNoMetaFile || m_first < 0 || offset > groupSpan ||
        offset / m_spr != static_cast<long long>(index))
        CloseGroup();
    if (!valid) return 0;
    if (CMetaFileRecordTypeAnalyzer::IsValidMFTFileRecord(record.Data())) m_first = s;
    const unsigned ss = m_builder.GetSectorSize();
    switch (index) {
    case kMftIndex: {
        if (m_lists.mft.size() >= ntfs::kMaxFinds) return 0;
        auto info = CMFTInfo::Build(record, s, ss);
        if (!info) break;
        info->SetSectorsPerFileRecord(static_cast<std::uint8_t>(m_spr));
        m_mft = info.get();
        m_lists.mft.push_back(std::move(info));
        FindFileMFTAndLogx match;
        match.mft = m_mft;
        m_lists.mftAndLog.push_back(std::move(match));
        return 1;
    }
    case kMftMirrIndex: {
        if (m_lists.mftMirr.size() >= ntfs::kMaxFinds) return 0;
        auto info = CMFTMirrInfo::Build(record, s, ss);
        if (!info) break;
        m_mirr = info.get();
        m_lists.mftMirr.push_back(std::move(info));
        return 1;
    }
    case kBitmapIndex: {
        CBitmapFileInfo bitmap;
        if (bitmap.InitFromBuffer(record, s) && bitmap.GetFileSize() <= LLONG_MAX / 8)
            m_bitmapClusters = bitmap.GetFileSize() * 8;
        return 1;
    }
    case kNoMetaFile: return 0;
    default: return 1;
    }
    // An $MFT or $MFTMirr record that gives no find ends the group.
    CloseGroup();
    return 0;
}

bool CMetaFileRecordGroupinMFTAnalyzer::IsaMetaFileRecordNotNeedtoCount(const CNTFSFileRecord& record) const {
    const ntfs::Bytes b = record.Data();
    if (m_lists.mft.size() >= ntfs::kMaxFinds && CMetaFileRecordTypeAnalyzer::IsValidMFTFileRecord(b)) return true;
    return m_lists.mftMirr.size() >= ntfs::kMaxFinds && CMetaFileRecordTypeAnalyzer::IsValidMFTMirrFileRecord(b);
}

void CMetaFileRecordGroupinMFTAnalyzer::AdjustPartitionSizeandMFTSector(CSearchedNTFSPartitionInfo& c) const {
    if (c.m_mftSector == -1) c.m_mftSector = m_first;
    if (!(c.GetPartitionBuildFromFlags() & ntfs::kFromBootSector) && m_bitmapClusters >= 1 && c.m_sectorsPerCluster) {
        c.m_clusterCount = std::min<std::int64_t>(m_bitmapClusters, c.m_clusterCount);
        c.SetTotalSectors(static_cast<unsigned long long>(c.m_clusterCount) * c.m_sectorsPerCluster);
    }
}

void CMetaFileRecordGroupinMFTAnalyzer::AdjustEqual(const CSearchedNTFSPartitionInfo& c) {
    auto [it, end] = m_builder.Candidates().equal_range(CSearchedNTFSPartitionInfoLessThan::Key(c));
    for (; it != end; ++it) AdjustPartitionSizeandMFTSector(**it);
}

void CMetaFileRecordGroupinMFTAnalyzer::AnalyzeSingleMFT(const CMFTInfo& mft) {
    std::vector<NtfsCandidate> made;
    const long long cluster = mft.GetFirstClusterNO();
    if (mft.GetSectorsPerCluster())
        made.push_back(m_builder.BuildPartitionInfoAccordingtoFileRecord(mft.GetSectorAddress(), cluster,
                                                                         mft.GetSectorsPerCluster(), ntfs::kFromMft));
    else
        m_builder.BuildPartitionInfoAccordingtoFileRecord(mft.GetSectorAddress(), cluster, ntfs::kFromMft, made);
    for (NtfsCandidate& c : made) {
        if (!c) continue;
        AdjustPartitionSizeandMFTSector(*c);
        if (m_builder.AdjustPartitionBuildFromFlag(*c, ntfs::kFromMft, 0)) {
            AdjustEqual(*c);
            return;
        }
        m_builder.Candidates().insert(std::move(c));
    }
}

void CMetaFileRecordGroupinMFTAnalyzer::AnalyzeMFTFilesPair(const CMFTFilesPair& pair) {
    const long long mirrCluster = pair.mirr->GetFirstClusterNO();
    const unsigned spc = pair.mft->GetSectorsPerCluster();
    NtfsCandidate c = mirrCluster < 0 || spc == 0 ? nullptr
                                                   : m_builder.BuildPartitionInfoAccordingtoFileRecord(
                                                         pair.mft->GetSectorAddress(), mirrCluster, spc,
                                                         ntfs::kFromMftMirr);
    if (!c) {
        AnalyzeSingleMFT(*pair.mft);
        return;
    }
    AdjustPartitionSizeandMFTSector(*c);
    // The group read as the mirror copy: the real MFT of that volume lies at
    // its $MFT's first cluster. Seen already, the two agree.
    const long long realMft = c->m_clusterOrigin + pair.mft->GetFirstClusterNO() * static_cast<long long>(spc);
    bool mirrorOfSeen = false;
    for (const CMFTFilesPair& p : m_lists.pairs)
        if (p.mft->GetSectorAddress() == realMft) mirrorOfSeen = true;
    if (mirrorOfSeen) {
        auto [it, end] = m_builder.Candidates().equal_range(CSearchedNTFSPartitionInfoLessThan::Key(*c));
        for (; it != end; ++it) {
            std::uint32_t flags = (*it)->GetPartitionBuildFromFlags();
            if (flags & ntfs::kFromMft) flags &= ~(ntfs::kFromMftPair | ntfs::kFromMft);
            (*it)->SetPartitionBuildFromFlag(flags | ntfs::kFromMftPair);
        }
        return;
    }
    if (m_builder.AdjustPartitionBuildFromFlag(*c, ntfs::kFromMftMirr, 0))
        AdjustEqual(*c);
    else
        AnalyzeSingleMFT(*pair.mft);
}
