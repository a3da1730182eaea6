#include "engine/ntfs/NtfsMetaFileMatch.h"

#include <algorithm>
#include <array>
#include <climits>
#include <clocale>
#include <cstring>
#include <cwctype>
#include <locale.h>

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

// The upper-case table is the C library's Unicode case mapping (the C.UTF-8
// locale's towupper) over the 16-bit range, each entry its own value when
// the upper case lies outside it. Formatters write tables of their own
// Unicode version, so pages with letters added since then do not match;
// the pages that do are still only found on NTFS volumes.
const std::uint8_t* CUpCaseFileAnalyzer::StandardContent() {
    static const std::vector<std::uint8_t> table = [] {
        std::vector<std::uint8_t> t(kUpCaseBytes);
        locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        for (std::uint32_t c = 0; c < 0x10000; ++c) {
            std::uint32_t u = c;
            if (utf8) {
                const auto up = static_cast<std::uint32_t>(towupper_l(static_cast<wint_t>(c), utf8));
                if (up < 0x10000) u = up;
            } else if (c >= 'a' && c <= 'z') {
                u = c - 32;
            }
            Put(t.data() + 2 * c, u, 2);
        }
        if (utf8) freelocale(utf8);
        return t;
    }();
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
    const std::uint8_t* page = StandardContent() + 512 * std::size_t{buffer[1]};
    if (!CMetaFileAnalyzer::CompareSectorBuffer(buffer, page)) return 0;
    m_sectors.CombineSectorOfRange(sector);
    return 1;
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
