#include "engine/ntfs/NtfsQuickSearch.h"

#include "engine/include/ReadAround.h"
#include "engine/include/StorageDevice.h"
#include "engine/ntfs/NtfsBoot.h"
#include "engine/ntfs/NtfsFileNode.h"
#include "engine/ntfs/NtfsMultiRecord.h"
#include "engine/utility/SectorReads.h"

#include <algorithm>
#include <limits>
#include <list>
#include <map>

namespace {
void Report(IProgress* sink, std::uint32_t state, std::uint64_t total, std::uint64_t current, ResultCode result) {
    if (!sink) return;
    _PROGRESS_INFO info = MakeProgress(state, total, current, result);
    sink->UpdateProgress(&info);
}
constexpr long long kMaxLL = std::numeric_limits<long long>::max();
// Device bytes read per request.
constexpr std::size_t kBatchBytes = 128 * 4096;
} // namespace

int CNTFSQuickSearch::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) {
    if (!array || n < 1) return 1;
    auto* record = new (std::nothrow) CSearchedPartitionInfo(m_sectorSize);
    if (!record) return 0;
    record->m_fileSystemType = FS_NTFS;
    record->m_sectorsPerCluster = m_spc;
    record->m_clusterOrigin = 0;
    record->m_startSector = 0;
    record->SetTotalSectors(m_device ? static_cast<unsigned long long>(m_device->GetTotalSectors()) : 0);
    array[0] = record;
    return 1;
}

bool CNTFSQuickSearch::ReadBytes(std::uint64_t byte, std::uint8_t* out, std::size_t n) {
    // Whole device sectors around [byte, byte + n).
    const std::uint64_t first = byte / m_sectorSize;
    const std::uint64_t last = (byte + n + m_sectorSize - 1) / m_sectorSize;
    const std::uint64_t total = static_cast<std::uint64_t>(std::max<long long>(m_device->GetTotalSectors(), 0));
    if (last > total || last <= first) return false;
    m_scratch.assign((last - first) * m_sectorSize, 0);
    if (m_device->ReadSector(m_scratch.data(), static_cast<long long>(first), static_cast<long long>(last - first)) ==
        0)
        return false;
    std::copy_n(m_scratch.begin() + static_cast<std::ptrdiff_t>(byte - first * m_sectorSize), n, out);
    return true;
}

namespace {
// True when [start, start + length) meets an interval of `taken` (disjoint, by start).
bool Meets(const std::map<long long, long long>& taken, long long start, long long length) {
    auto it = taken.upper_bound(start);
    if (it != taken.begin() && std::prev(it)->second > start) return true;
    return it != taken.end() && it->first - start < length;
}
} // namespace

CNTFSDataRunList CNTFSQuickSearch::TakeEachRangeOnce(const std::vector<CDataRun>& runs, long long clusters) {
    // The base record's runs come first, so a piece an extension names again
    // never displaces them.
    std::map<long long, long long> vcns, lcns;
    CNTFSDataRunList out;
    for (CDataRun r : runs) {
        if (r.lcn < 0 || r.vcn < 0 || r.length <= 0 || r.length > kMaxLL - r.vcn || r.length > kMaxLL - r.lcn)
            continue;
        if (clusters > 0) {
            if (r.vcn >= clusters) continue;
            r.length = std::min(r.length, clusters - r.vcn);
        }
        if (Meets(vcns, r.vcn, r.length) || Meets(lcns, r.lcn, r.length)) continue;
        vcns[r.vcn] = r.vcn + r.length;
        lcns[r.lcn] = r.lcn + r.length;
        out.AddRun(r);
    }
    out.Sort();
    return out;
}

bool CNTFSQuickSearch::ReadMftRecord(std::uint64_t byte) {
    std::vector<std::uint8_t> rec(m_recordSize);
    if (!ReadBytes(byte, rec.data(), rec.size())) return false;
    if (!CNTFSFileRecord::IsValid(rec) || !CMetaFileRecordTypeAnalyzer::IsValidMFTFileRecord(rec)) return false;
    CNTFSDataRunList runs;
    if (!CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(rec, runs, false, nullptr) || runs.IsEmpty())
        return false;
    std::vector<CDataRun> all = runs.Runs();
    if (CNTFSFileRecord::HasAttributeList(rec) && m_spc > 0) {
        // The $MFT's further pieces lie in extension records located through
        // the runs gathered so far.
        const long long sector = static_cast<long long>(byte / m_sectorSize);
        CExtendFileRecordInfoList list =
            CNTFSMultiFileRecord::InitExtendFileRecord(rec, sector, m_spc, 0, *m_device, runs, m_recordSize)
                .value_or(CExtendFileRecordInfoList{});
        std::vector<std::uint8_t> ext(m_recordSize);
        for (const auto& e : list) {
            if (e.recordNumber == 0 || e.startSector < 0) continue;
            if (!ReadBytes(static_cast<std::uint64_t>(e.startSector) * m_sectorSize + e.offsetInSector, ext.data(),
                           ext.size()))
                continue;
            CNTFSDataRunList more;
            CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(ext, more, false, nullptr);
            all.insert(all.end(), more.Runs().begin(), more.Runs().end());
        }
    }
    // Each range of the $MFT is read once, and no further than the $MFT's own
    // allocated size: extension records may name pieces again, or claim more.
    const CNTFSFileRecord held(rec);
    const ntfs::Bytes data = held.FindAttibute(ntfs::ATTR_DATA, 0);
    long long clusters = 0;
    if (!data.empty() && !CNTFSFileRecordAttribute::IsResident(data) &&
        CNTFSFileRecordAttribute::GetStartVCN(data) == 0) {
        const long long allocated = CNTFSFileRecordAttribute::GetAllocSizeofAttribute(data);
        if (allocated > 0)
            clusters = static_cast<long long>((static_cast<std::uint64_t>(allocated) + m_clusterBytes - 1) /
                                              m_clusterBytes);
    }
    m_mft = TakeEachRangeOnce(all, clusters);
    return !m_mft.IsEmpty();
}

ResultCode CNTFSQuickSearch::Prepare() {
    m_sectorSize = m_device->GetSectorSize();
    if (m_device->GetTotalSectors() <= 1 || m_sectorSize < 512 || m_sectorSize > 4096) return ntfs::kNoBootSector;
    CNTFSDBR boot;
    bool fromBackup = false;
    if (!ntfs::ReadBootSector(*m_device, boot, &fromBackup)) return ntfs::kNoBootSector;
    // The scan that read the backup says the boot sector could not be read.
    if (fromBackup && !DeviceGone(m_device)) ++salvor::UnreadableStructureSectors();
    // The cluster is the boot sector's sectors of its own sector size; the
    // device may read in other sectors (an image of a 4096-byte-sector disk).
    m_clusterBytes = std::uint64_t{boot.GetSectorsperCluster()} * boot.GetBytesPerSector();
    // Clusters smaller than a device sector cannot be addressed in its sectors.
    if (m_clusterBytes < m_sectorSize) return ntfs::kNoBootSector;
    m_spc = static_cast<unsigned>(m_clusterBytes / m_sectorSize);
    m_recordSize = boot.GetFileRecordSizeByByte();
    if (m_recordSize < 512 || m_recordSize > ntfs::kMaxRecordSize) return ntfs::kNoMft;
    m_mft.ClearDataRunList();
    const auto mftAt = static_cast<std::uint64_t>(boot.GetMFTStartCluster());
    const auto mirrAt = static_cast<std::uint64_t>(boot.GetMFTMirrorStartCluster());
    const std::uint64_t limit = ~std::uint64_t{0} / m_clusterBytes;
    m_mirror = mirrAt < limit ? mirrAt * m_clusterBytes : 0;
    if ((mftAt >= limit || !ReadMftRecord(mftAt * m_clusterBytes)) &&
        (mirrAt >= limit || !ReadMftRecord(mirrAt * m_clusterBytes)))
        return ntfs::kNoMft;
    return 0;
}

bool CNTFSQuickSearch::ReadFromMirror(std::uint64_t mftByte, std::uint8_t* out) {
    // $MFTMirr keeps the first records of $MFT (at least the four it
    // needs; one cluster when records are larger).
    const std::uint64_t kept = std::max<std::uint64_t>(4ull * m_recordSize, m_clusterBytes);
    if (m_mirror == 0 || mftByte >= kept || mftByte % m_recordSize != 0) return false;
    std::vector<std::uint8_t> rec(m_recordSize);
    if (!ReadBytes(m_mirror + mftByte, rec.data(), rec.size()) || !CNTFSFileRecord::IsValid(rec)) return false;
    std::copy(rec.begin(), rec.end(), out);
    return true;
}

void CNTFSQuickSearch::BuildNode(const std::uint8_t* data, std::uint64_t mftByte, std::uint64_t at) {
    const ntfs::Bytes rec(data, m_recordSize);
    if (!CNTFSFileRecord::IsValid(rec) || CNTFSFileRecord::IsExtendFileRecord(rec) ||
        CIsMetaFileRecord::IsMetaFileRecord(rec))
        return;
    const long long number = static_cast<long long>(mftByte / m_recordSize);
    const long long sector = static_cast<long long>(at / m_sectorSize);
    const auto offsetInSector = static_cast<unsigned>(at % m_sectorSize);
    CExtendFileRecordInfoList list;
    if (CNTFSFileRecord::HasAttributeList(rec) && m_spc > 0) {
        list = CNTFSMultiFileRecord::InitExtendFileRecord(rec, sector, m_spc, 0, *m_device, m_mft, m_recordSize)
                   .value_or(CExtendFileRecordInfoList{});
        CNTFSMultiFileRecord::RemoveMainFileRecordInfofromFileRecordInfoList(list, sector, offsetInSector);
    }
    CNTFSMultiFileRecord multi(rec, sector, m_device, &list, m_recordSize);
    std::list<CNTFSFileProperties*> made;
    CNTFSFilePropertiesBuilder builder(made);
    long long parent = -1;
    CNTFSFileProperties* props =
        builder.BuildFileProperties(sector, multi, static_cast<unsigned>(m_clusterBytes), &parent);
    if (!props) return;
    // A deleted file that lost its size and runs may find them in $LogFile.
    if (props->GetFileSize() == 0 && !rec.empty() && !CNTFSFileRecord::IsFolder(rec) &&
        (props->GetState() & CNTFSFileProperties::kStateDeleted))
        m_log.ReplaceFileRecordInfo(rec, number, *props, parent, &list);
    CNTFSFilePropertiesBuilder::AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(
        *props, static_cast<unsigned>(m_clusterBytes / 512));
    props->SetExtendFileRecordInfoList(list);
    auto* node = new CNTFSFileNode();
    node->SetFileProperties(props);
    node->SetCurrentNodeID(number);
    node->SetParentNodeID(parent);
    if (!m_builder || !m_builder->AddNode(node, SEARCHER_NTFS)) node->Release();
}

void CNTFSQuickSearch::ReadRecords() {
    std::uint64_t total = 0;
    for (const CDataRun& r : m_mft.Runs())
        if (r.length > 0) total += static_cast<std::uint64_t>(r.length) * m_clusterBytes / m_sectorSize;
    Report(m_sink, PROGRESS_RUNNING, total, 0, 0);
    std::vector<std::uint8_t> batch(kBatchBytes);
    const std::uint64_t deviceBytes =
        static_cast<std::uint64_t>(std::max<long long>(m_device->GetTotalSectors(), 0)) * m_sectorSize;
    std::uint64_t done = 0;
    for (const CDataRun& r : m_mft.Runs()) {
        if (!m_sink->Continued()) break;
        if (r.lcn < 0 || r.length <= 0 || r.vcn < 0) continue;
        const std::uint64_t limit = deviceBytes / m_clusterBytes;
        if (static_cast<std::uint64_t>(r.lcn) >= limit || static_cast<std::uint64_t>(r.vcn) >= limit) continue;
        const std::uint64_t start = static_cast<std::uint64_t>(r.lcn) * m_clusterBytes;
        const std::uint64_t mftStart = static_cast<std::uint64_t>(r.vcn) * m_clusterBytes;
        // The run's bytes, cut at the device's end, walked in batches of whole records.
        const std::uint64_t bytes =
            std::min(static_cast<std::uint64_t>(r.length), limit) * m_clusterBytes;
        const std::uint64_t runBytes = std::min(bytes, deviceBytes - start);
        for (std::uint64_t off = 0; off + m_recordSize <= runBytes;) {
            if (!m_sink->Continued()) break;
            const std::uint64_t n = std::min<std::uint64_t>(kBatchBytes, runBytes - off) / m_recordSize * m_recordSize;
            const std::uint64_t sector0 = (start + off) / m_sectorSize;
            const std::uint64_t head = (start + off) % m_sectorSize;
            const std::uint64_t sectors = (head + n + m_sectorSize - 1) / m_sectorSize;
            std::vector<std::uint8_t> raw(sectors * m_sectorSize, 0);
            // A failed read is read again around its bad sectors: they are
            // zeros, so only the records they hold are lost.
            std::vector<long long> bad;
            ReadSectorsAround(m_device, raw.data(), static_cast<long long>(sector0), static_cast<long long>(sectors),
                              &bad);
            std::copy_n(raw.begin() + static_cast<std::ptrdiff_t>(head), n, batch.begin());
            std::size_t b = 0;
            for (std::uint64_t i = 0; i < n; i += m_recordSize) {
                // The bad sectors that meet this record, if any.
                const auto lo = static_cast<long long>((head + i) / m_sectorSize);
                const auto hi = static_cast<long long>((head + i + m_recordSize - 1) / m_sectorSize);
                while (b < bad.size() && bad[b] < lo) ++b;
                if (b < bad.size() && bad[b] <= hi && !ReadFromMirror(mftStart + off + i, batch.data() + i)) {
                    ++m_unreadable;
                    // Lost with its sectors: the mirror did not answer for it.
                    if (!DeviceGone(m_device)) salvor::UnreadableStructureSectors() += hi - lo + 1;
                    continue;
                }
                BuildNode(batch.data() + i, mftStart + off + i, start + off + i);
            }
            off += n;
            done += n / m_sectorSize;
            Report(m_sink, PROGRESS_RUNNING, total, std::min(done, total), 0);
        }
    }
    if (m_builder) {
        // The builder reads recycle-bin index files through this record.
        CSearchedPartitionInfo* record = nullptr;
        GetSearchedPartitionInfo(&record, 1);
        m_record.reset(record);
        m_builder->SetPartitonDevice(m_record.get(), m_device);
        m_builder->FlashBuild(SEARCHER_NTFS);
    }
}

ResultCode CNTFSQuickSearch::QuickSearchFiles(IStorageDevice* device, IProgress* sink) {
    if (!device || !sink) return ntfs::kNoDeviceOrSink;
    m_device = device;
    m_sink = sink;
    m_unreadable = 0;
    ResultCode result = Prepare();
    if (result == 0 && m_builder && !m_builder->AddSearcherInfo(SEARCHER_NTFS, 5)) result = ntfs::kNoMft;
    std::uint64_t total = 0;
    for (const CDataRun& r : m_mft.Runs())
        if (r.length > 0) total += static_cast<std::uint64_t>(r.length) * m_clusterBytes / m_sectorSize;
    if (result == 0) {
        if (m_log.Init(m_device, m_mft, m_clusterBytes, m_recordSize)) m_log.Analyzer();
        ReadRecords();
        // What could be read is listed; the scan says it is not all.
        if (m_unreadable > 0 && !DeviceGone(m_device)) result = ntfs::kRecordsUnreadable;
    }
    const bool walked = result == 0 || result == ntfs::kRecordsUnreadable;
    Report(sink, PROGRESS_FINISHED, walked ? total : 1, walked ? total : 1, result);
    return result;
}

namespace ntfs {
IQuickFileSystemSearchController* CreateNTFSQuickSearcher() { return new CNTFSQuickSearch(); }
} // namespace ntfs
