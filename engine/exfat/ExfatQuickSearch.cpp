#include "engine/exfat/ExfatQuickSearch.h"

#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatFileNode.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/SectorReads.h"

#include <algorithm>
#include <bit>
#include <cstdio>

namespace {
void Report(IProgress* sink, std::uint32_t state, std::uint64_t total, std::uint64_t current, ResultCode result) {
    if (!sink) return;
    _PROGRESS_INFO info = MakeProgress(state, total, current, result);
    sink->UpdateProgress(&info);
}
} // namespace

int CExFatQuickSearch::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) {
    if (!array || n < 1) return 1;
    auto* record = new CSearchedPartitionInfo(m_partition.SectorSize());
    record->m_fileSystemType = FS_EXFAT;
    record->m_sectorsPerCluster = m_partition.SectorsPerCluster();
    // Runs count clusters from cluster 2, which begins at the heap's first sector.
    record->m_clusterOrigin = m_partition.HeapFirstSector();
    record->m_startSector = 0;
    record->SetTotalSectors(0);
    array[0] = record;
    return 1;
}

ResultCode CExFatQuickSearch::QuickSearchFiles(IStorageDevice* volume, IProgress* sink) {
    ResultCode result = sink ? PrepareSearch(volume) : exfat::kNoProgress;
    if (result == 0) result = QuickSearch(volume, sink);
    // Every search ends with the finished record, also one that failed early.
    Report(sink, PROGRESS_FINISHED, 1, 1, result);
    return result;
}

ResultCode CExFatQuickSearch::PrepareSearch(IStorageDevice* device) {
    m_read.clear();
    m_work.clear();
    m_unreadable = 0;
    m_bitmapLoaded = false;
    if (!m_builder || !device) return exfat::kNoBuilderOrDevice;
    const unsigned sectorSize = device->GetSectorSize();
    std::vector<std::uint8_t> boot;
    if (sectorSize < 512 || sectorSize > 4096 || !exfat::ReadOneSector(device, 0, boot))
        return exfat::kBootSectorUnreadable;
    CExFatDBR dbr(boot);
    if (!dbr.IsValid(sectorSize)) return exfat::kNotExfat;

    const unsigned clusterBytes = sectorSize * dbr.GetSectorsperCluster();
    m_analyzer.PrepareAnayze(dbr.GetBytesPerSectorShift(), static_cast<unsigned>(std::countr_zero(clusterBytes)),
                             device->GetTotalSectors());
    std::uint32_t limit = dbr.GetTotalCluster();
    const std::uint64_t fatEntries = std::uint64_t{dbr.GetSectorsPerFat()} * sectorSize / 4;
    if (fatEntries > limit) {
        limit = static_cast<std::uint32_t>(std::min<std::uint64_t>(fatEntries, 0xFFFFFFF5u));
        std::printf("chang totalClustur = %d\n", static_cast<int>(limit));
    }
    m_partition.SetGeometry(sectorSize, dbr.GetSectorsperCluster(), limit, dbr.GetRootDirStartCluster(),
                            dbr.GetDataRegionStartSector());
    m_partition.CreateFatTable(device, dbr.GetFatStartSector(), dbr.GetSectorsPerFat(), dbr.GetTotalCluster());
    m_cluster.assign(clusterBytes, 0);
    if (!m_builder->AddSearcherInfo(SEARCHER_EXFAT,
                                    m_partition.ConvertClusterNumToSector(m_partition.RootCluster())))
        return exfat::kBuilderRefused;
    return 0;
}

bool CExFatQuickSearch::BuildChildren(IStorageDevice* device, const Folder& folder) {
    if (!device || !m_builder) return false;
    m_analyzer.BeginFolder();
    const std::uint64_t clusterBytes = m_partition.BytesPerCluster();
    const std::uint64_t deviceSectors = device->GetTotalSectors();
    bool anyRead = false;
    std::uint32_t c = folder.firstCluster;
    // No folder is larger than exFAT allows, whatever its damaged record says.
    std::uint64_t remaining = std::min(folder.size, exfat::kMaxFolderBytes);
    while (m_partition.IsHeapCluster(c) && c <= 0xFFFFFFF5u && remaining > 0) {
        // The read set also breaks FAT loops across the whole search.
        if (!m_read.insert(c).second) break;
        const std::int64_t sector = m_partition.ConvertClusterNumToSector(c);
        // Past the device's end no cluster can be read: a damaged record or
        // boot sector sent the walk there, and the folder ends.
        if (sector < 0 || static_cast<std::uint64_t>(sector) >= deviceSectors ||
            deviceSectors - static_cast<std::uint64_t>(sector) < m_partition.SectorsPerCluster()) {
            ++m_unreadable;
            break;
        }
        // Read around bad sectors: one lost sector costs the entry sets it
        // holds, and an unreadable cluster its own entries only; the chain
        // (FAT or adjacency) still leads to the folder's other clusters.
        std::vector<bool> bad;
        const long long spc = m_partition.SectorsPerCluster();
        const long long got = salvor::ReadAroundBadSectors(device, m_cluster.data(), sector, spc, &bad);
        if (got < spc) ++m_unreadable;
        if (got == 0) {
            m_analyzer.BeginFolder();
        } else {
            anyRead = true;
            if (!m_analyzer.AnalyzeAround(m_cluster, sector, bad)) break;
        }
        remaining = remaining > clusterBytes ? remaining - clusterBytes : 0;
        c = m_partition.GetNextCluster(c, folder.contiguous);
    }
    // The root names the allocation bitmap; it is loaded before the root's own
    // records become nodes, so deleted chained files there can use it.
    if (!m_bitmapLoaded && m_analyzer.BitmapCluster() != 0)
        m_bitmapLoaded = m_partition.LoadAllocationBitmap(device, m_analyzer.BitmapCluster(), m_analyzer.BitmapLength());

    for (_tagFileBaseInfo& record : m_analyzer.Records()) {
        // Everything inside a deleted folder is deleted.
        if (folder.deleted) record.inUse = 0;
        CExFatFileNode* node = m_partition.BuildFile(record);
        node->SetID(m_partition.ConvertClusterNumToSector(record.firstCluster));
        node->SetParentID(folder.id);
        const bool isFolder = node->IsDirectory() != 0;
        Folder child{record.firstCluster, static_cast<std::uint64_t>(record.dataLength), record.contiguous != 0,
                     record.inUse == 0, node->GetCurrentNodeID()};
        if (!m_builder->AddNode(node, SEARCHER_EXFAT)) {
            node->Release();
            continue;
        }
        if (isFolder) m_work.push_back(child);
    }
    m_analyzer.ClearRecords();
    return anyRead;
}

ResultCode CExFatQuickSearch::QuickSearch(IStorageDevice* device, IProgress* progress) {
    const std::uint32_t root = m_partition.RootCluster();
    const Folder rootFolder{root, std::uint64_t{m_partition.ClusterLimit()} * m_partition.BytesPerCluster(), false,
                            false, m_partition.ConvertClusterNumToSector(root)};
    // A root that cannot be read lists nothing: a failure, not an empty volume.
    const bool rootRead = BuildChildren(device, rootFolder);

    std::uint64_t done = 0;
    std::uint64_t lastPercent = 0;
    while (!m_work.empty() && progress->Continued()) {
        const Folder folder = m_work.front();
        m_work.pop_front();
        // An unreadable folder is skipped; the walk goes on with the others.
        BuildChildren(device, folder);
        ++done;
        const std::uint64_t total = done + m_work.size();
        const std::uint64_t percent = done * 100 / total;
        if (percent > lastPercent) {
            lastPercent = percent;
            Report(progress, PROGRESS_RUNNING, total, done, 0);
        }
    }
    if (m_builder) {
        m_builder->SetPartitonDevice(nullptr, device);
        m_builder->FlashBuild(SEARCHER_EXFAT);
    }
    return rootRead ? 0 : exfat::kRootUnreadable;
}

namespace exfat {
IQuickFileSystemSearchController* CreateEXFatQuickSearcher() { return new CExFatQuickSearch(); }
} // namespace exfat
