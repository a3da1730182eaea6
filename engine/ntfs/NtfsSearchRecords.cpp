#include "engine/ntfs/NtfsSearchRecords.h"

#include "engine/ntfs/NtfsFileNode.h"
#include "engine/ntfs/NtfsIndexRecord.h"
#include "engine/ntfs/NtfsLogFile.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace {
// Runs that name real clusters: a positive length, a VCN and an LCN (or
// sparse) in range, the end representable. Damaged mapping pairs decode to
// others, and records holding them are refused.
bool SoundRun(const CDataRun& r) {
    long long end = 0;
    return r.lcn >= -1 && r.vcn >= 0 && r.length > 0 && !__builtin_add_overflow(r.vcn, r.length, &end);
}
bool SoundRuns(const CNTFSDataRunList& runs) {
    return runs.Runs().size() <= ntfs::kMaxRestoredRuns && std::all_of(runs.Runs().begin(), runs.Runs().end(), SoundRun);
}

// Tags of the saved forms (the metafile records take 1 to 5).
enum : std::uint8_t {
    kTagMft = 10,
    kTagBitmap,
    kTagCommon,
    kTagPosition,
    kTagFolder,
    kTagPartition,
};

class Out {
public:
    explicit Out(ntfs::RecordStream& s) : m_s(s) {}
    template <typename T>
    Out& operator<<(T v) {
        static_assert(std::is_integral_v<T> || std::is_enum_v<T>);
        for (std::size_t i = 0; i < sizeof(T); ++i)
            m_s.push_back(static_cast<std::uint8_t>(static_cast<std::make_unsigned_t<T>>(v) >> (8 * i)));
        return *this;
    }
    Out& operator<<(double d) { return *this << std::bit_cast<std::uint64_t>(d); }
    Out& operator<<(const CNTFSDataRunList& runs) {
        *this << static_cast<std::uint32_t>(runs.Runs().size());
        for (const CDataRun& r : runs.Runs()) *this << r.lcn << r.vcn << r.length;
        return *this;
    }

private:
    ntfs::RecordStream& m_s;
};

// Reads fields in order; once a read fails every later one fails too.
class In {
public:
    explicit In(ntfs::Bytes b) : m_b(b) {}
    template <typename T>
    In& operator>>(T& v) {
        if (!bytes::Has(m_b, m_at, sizeof(T))) {
            m_ok = false;
            return *this;
        }
        if constexpr (std::is_same_v<T, double>) {
            v = std::bit_cast<double>(bytes::Le64(m_b, m_at));
        } else {
            v = static_cast<T>(bytes::LoadLe<std::make_unsigned_t<T>>(m_b, m_at));
        }
        m_at += sizeof(T);
        return *this;
    }
    In& operator>>(CNTFSDataRunList& runs) {
        std::uint32_t n = 0;
        *this >> n;
        if (!m_ok || n > ntfs::kMaxRestoredRuns || n > (m_b.size() - m_at) / 24) return Fail();
        for (std::uint32_t i = 0; i < n && m_ok; ++i) {
            CDataRun r;
            *this >> r.lcn >> r.vcn >> r.length;
            if (!SoundRun(r)) return Fail();
            runs.AddRun(r);
        }
        return *this;
    }
    bool Tag(std::uint8_t want) {
        std::uint8_t t = 0;
        *this >> t;
        if (t != want) m_ok = false;
        return m_ok;
    }
    In& Fail() {
        m_ok = false;
        return *this;
    }
    In& Check(bool c) {
        if (!c) m_ok = false;
        return *this;
    }
    // On success the stream moves past what was read.
    bool Done(ntfs::Bytes& from) {
        if (m_ok) from = from.subspan(m_at);
        return m_ok;
    }

private:
    ntfs::Bytes m_b;
    std::size_t m_at = 0;
    bool m_ok = true;
};

// A cluster size a search can hold: 0 (unknown) or a power of two to 128.
bool SoundSpc(unsigned spc) { return spc == 0 || (spc <= 128 && std::has_single_bit(spc)); }

unsigned SpcFrom0x80(const CNTFSFileRecord& record, unsigned sectorSize, bool& found) {
    unsigned spc = 0;
    found = CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(record, spc, sectorSize);
    return spc;
}
} // namespace

// ---- partition candidate ----------------------------------------------------

void CSearchedNTFSPartitionInfo::Save(ntfs::RecordStream& s) const {
    Out(s) << kTagPartition << m_partitionIndex << m_fileSystemType << m_sectorsPerCluster << m_clusterOrigin
           << m_startSector << m_searcherField1 << m_searcherField2 << m_sectorSize << m_searcherField3
           << m_totalSectors << m_searcherField4 << m_score << m_searcherField5 << m_searcherField6 << m_serial
           << m_sectorsPerRecord << m_buildFrom << m_mftLocated << m_clusterCount << m_logFileMatches
           << m_attrDefMatches << m_upCaseMatches << m_mftSector;
}

bool CSearchedNTFSPartitionInfo::Restore(ntfs::Bytes& from) {
    CSearchedNTFSPartitionInfo r;
    In in(from);
    in.Tag(kTagPartition);
    in >> r.m_partitionIndex >> r.m_fileSystemType >> r.m_sectorsPerCluster >> r.m_clusterOrigin >> r.m_startSector >>
        r.m_searcherField1 >> r.m_searcherField2 >> r.m_sectorSize >> r.m_searcherField3 >> r.m_totalSectors >>
        r.m_searcherField4 >> r.m_score >> r.m_searcherField5 >> r.m_searcherField6 >> r.m_serial >>
        r.m_sectorsPerRecord >> r.m_buildFrom >> r.m_mftLocated >> r.m_clusterCount >> r.m_logFileMatches >>
        r.m_attrDefMatches >> r.m_upCaseMatches >> r.m_mftSector;
    in.Check(r.m_fileSystemType == 3 && r.m_sectorSize >= 512 && r.m_sectorSize <= 4096 &&
             std::has_single_bit(r.m_sectorSize) && SoundSpc(r.m_sectorsPerCluster) && r.m_clusterOrigin >= 0 &&
             r.m_startSector >= 0 && r.m_sectorsPerRecord >= 1 && r.m_sectorsPerRecord <= 8 && r.m_buildFrom < 256 &&
             r.m_mftLocated <= 1 && r.m_clusterCount >= -1 && r.m_logFileMatches >= -1 && r.m_attrDefMatches >= -1 &&
             r.m_upCaseMatches >= -1 && r.m_mftSector >= -1);
    if (!in.Done(from)) return false;
    *this = r;
    return true;
}

// ---- metafile records -------------------------------------------------------

bool CMetaFileInfo::InitFromBuffer(const CNTFSFileRecord& record, long long sector) {
    if (!record.IsValid()) return false;
    CNTFSDataRunList runs;
    CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecord(record, runs, false, nullptr);
    if (runs.IsEmpty() || !SoundRuns(runs)) return false;
    m_runs = std::move(runs);
    m_sector = sector;
    m_lsn = static_cast<std::int64_t>(record.GetLogFileSequenceNumber());
    return true;
}

void CMetaFileInfo::Save(ntfs::RecordStream& s) const {
    Out(s) << Tag() << m_sector << m_lsn << m_runs;
    if (KeepsClusterSize()) Out(s) << m_spc;
}

bool CMetaFileInfo::Restore(ntfs::Bytes& from) {
    In in(from);
    long long sector = 0;
    std::int64_t lsn = 0;
    CNTFSDataRunList runs;
    std::uint8_t spc = 0;
    in.Tag(Tag());
    in >> sector >> lsn >> runs;
    if (KeepsClusterSize()) in >> spc;
    in.Check(sector >= -1 && SoundSpc(spc));
    if (!in.Done(from)) return false;
    m_sector = sector;
    m_lsn = lsn;
    m_runs = std::move(runs);
    m_spc = spc;
    return true;
}

bool CClusteredMetaFileInfo::InitFromBuffer(const CNTFSFileRecord& record, long long sector, unsigned sectorSize) {
    bool found = false;
    const unsigned spc = SpcFrom0x80(record, sectorSize, found);
    if (!found || !CMetaFileInfo::InitFromBuffer(record, sector)) return false;
    m_spc = static_cast<std::uint8_t>(spc);
    return true;
}

std::unique_ptr<CMFTMirrInfo> CMFTMirrInfo::Build(const CNTFSFileRecord& record, long long sector,
                                                  unsigned sectorSize) {
    auto info = std::make_unique<CMFTMirrInfo>();
    if (!info->InitFromBuffer(record, sector, sectorSize)) return nullptr;
    return info;
}

bool CMFTInfo::InitFromBuffer(const CNTFSFileRecord& record, long long sector, unsigned sectorSize) {
    bool found = false;
    const unsigned spc = SpcFrom0x80(record, sectorSize, found);
    if (!found || spc == 0) return false;
    CNTFSDataRunList runs;
    CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecord(record, runs, false, nullptr);
    if (runs.IsEmpty() || !SoundRuns(runs)) return false;
    m_spc = static_cast<std::uint8_t>(spc);
    m_runs = std::move(runs);
    m_sector = sector;
    return true;
}

std::unique_ptr<CMFTInfo> CMFTInfo::Build(const CNTFSFileRecord& record, long long sector, unsigned sectorSize) {
    auto info = std::make_unique<CMFTInfo>();
    if (!info->InitFromBuffer(record, sector, sectorSize) || info->GetFirstClusterNO() == -1) return nullptr;
    return info;
}

void CMFTInfo::Save(ntfs::RecordStream& s) const { Out(s) << kTagMft << m_sector << m_spfr << m_spc << m_runs; }

bool CMFTInfo::Restore(ntfs::Bytes& from) {
    CMFTInfo r;
    In in(from);
    in.Tag(kTagMft);
    in >> r.m_sector >> r.m_spfr >> r.m_spc >> r.m_runs;
    in.Check(r.m_sector >= -1 && r.m_spfr >= 1 && r.m_spfr <= 8 && SoundSpc(r.m_spc));
    if (!in.Done(from)) return false;
    *this = std::move(r);
    return true;
}

bool CBitmapFileInfo::InitFromBuffer(const CNTFSFileRecord& record, long long sector) {
    CNTFSDataRunList runs;
    long long real = 0;
    if (!CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecord(record, runs, true, &real)) return false;
    if (real < 1 || runs.GetTotalClusters() <= 0) return false;
    m_size = real;
    m_sector = sector;
    return true;
}

void CBitmapFileInfo::Save(ntfs::RecordStream& s) const { Out(s) << kTagBitmap << m_sector << m_size; }

bool CBitmapFileInfo::Restore(ntfs::Bytes& from) {
    CBitmapFileInfo r;
    In in(from);
    in.Tag(kTagBitmap);
    in >> r.m_sector >> r.m_size;
    in.Check(r.m_sector >= -1 && r.m_size >= -1);
    if (!in.Done(from)) return false;
    *this = r;
    return true;
}

// ---- ordinary records -------------------------------------------------------

bool CCommonFileRecordInfo::InitFromBuffer(const CNTFSFileRecord& record, long long sector) {
    if (!record.IsValid()) return false;
    m_directory = record.IsFolder() ? 1 : 0;
    if (record.HasXPNumberOfthisMFTRecord()) m_number = record.GetXPNumberOfthisMFTRecord();
    const long long parent = ChooseFileName(record.FindAttibute(ntfs::ATTR_FILE_NAME, 0),
                                            record.FindAttibute(ntfs::ATTR_FILE_NAME, 1))
                                 .parent;
    m_parent = parent >= 5 ? parent : -1;
    m_sector = sector;
    return true;
}

void CCommonFileRecordInfo::Save(ntfs::RecordStream& s) const {
    Out(s) << kTagCommon << m_directory << m_sector << m_parent << m_number;
}

bool CCommonFileRecordInfo::Restore(ntfs::Bytes& from) {
    CCommonFileRecordInfo r;
    In in(from);
    in.Tag(kTagCommon);
    in >> r.m_directory >> r.m_sector >> r.m_parent >> r.m_number;
    in.Check(r.m_directory <= 1 && r.m_sector >= -1 && r.m_parent >= -1 && r.m_number >= -1);
    if (!in.Done(from)) return false;
    r.m_props = m_props;
    *this = r;
    return true;
}

bool CCommonFileRecordPositionInfo::Merge(long long sector) {
    if (m_count < 1 || sector != m_first + 2 * m_count) return false;
    ++m_count;
    return true;
}

void CCommonFileRecordPositionInfo::Save(ntfs::RecordStream& s) const {
    Out(s) << kTagPosition << m_first << m_count;
}

bool CCommonFileRecordPositionInfo::Restore(ntfs::Bytes& from) {
    CCommonFileRecordPositionInfo r;
    In in(from);
    in.Tag(kTagPosition);
    in >> r.m_first >> r.m_count;
    // An empty run has no sector; a run's records must all have sectors.
    in.Check(r.m_first >= -1 && r.m_count >= 0 && (r.m_first == -1) == (r.m_count == 0) &&
             r.m_count <= (std::numeric_limits<long long>::max() - std::max(r.m_first, 0LL)) / 2);
    if (!in.Done(from)) return false;
    *this = r;
    return true;
}

// ---- folders with an index allocation ---------------------------------------

bool CFolderIndexAllocationInfo::InitFromBuffer(ntfs::Bytes buffer, long long sector, unsigned sectorSize) {
    const CNTFSFileRecord record(buffer);
    if (!record.IsValid() || record.IsExtendFileRecord()) return false;
    long long number = -1;
    if (const ntfs::Bytes root = record.FindAttibute(ntfs::ATTR_INDEX_ROOT, 0); !root.empty())
        number = CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(root);
    const ntfs::Bytes ia = record.FindAttibute(ntfs::ATTR_INDEX_ALLOCATION, 0);
    if (ia.empty() || CNTFSFileRecordAttribute::IsResident(ia) || CNTFSFileRecordAttribute::GetLength(ia) < 1)
        return false;
    const ntfs::Bytes pairs = CNTFSFileRecordDataRunsAttribute::GetDataRunsBuffer(ia);
    if (!CNTFSDataRunList::IsValid(pairs)) return false;
    CNTFSDataRunList runs;
    CNTFSFileRecordDataRunsAttribute::GetDataRunList(ia, runs);
    const unsigned spc = CNTFSFileRecordDataRunsAttribute::GetSectorsPerCluster(ia, sectorSize);
    if (runs.IsEmpty() || spc == 0 || !SoundRuns(runs)) return false;
    std::uint32_t hasXp = 0, xp = 0;
    if (record.HasXPNumberOfthisMFTRecord()) {
        hasXp = 1;
        xp = record.GetXPNumberOfthisMFTRecord();
        if (number == -1 || number == -2) number = xp;
    }
    // The root folder's own INDX records name it: they place nothing.
    if (number == -1 || number == 5) return false;
    m_sector = sector;
    m_runs = std::move(runs);
    m_lsn = static_cast<std::int64_t>(record.GetLogFileSequenceNumber());
    m_number = number;
    m_hasXp = hasXp;
    m_xpNumber = xp;
    m_spc = spc;
    return true;
}

void CFolderIndexAllocationInfo::Save(ntfs::RecordStream& s) const {
    Out(s) << kTagFolder << m_sector << m_lsn << m_number << m_xpNumber << m_hasXp << m_spc << m_runs;
}

bool CFolderIndexAllocationInfo::Restore(ntfs::Bytes& from) {
    CFolderIndexAllocationInfo r;
    In in(from);
    in.Tag(kTagFolder);
    in >> r.m_sector >> r.m_lsn >> r.m_number >> r.m_xpNumber >> r.m_hasXp >> r.m_spc >> r.m_runs;
    in.Check(r.m_sector >= -1 && r.m_number >= -1 && r.m_hasXp <= 1 && SoundSpc(r.m_spc));
    if (!in.Done(from)) return false;
    *this = std::move(r);
    return true;
}

FindFileMFTAndLogx::FindFileMFTAndLogx() = default;
FindFileMFTAndLogx::FindFileMFTAndLogx(FindFileMFTAndLogx&&) noexcept = default;
FindFileMFTAndLogx::~FindFileMFTAndLogx() = default;
