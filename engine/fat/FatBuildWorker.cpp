#include "engine/fat/FatBuildWorker.h"

#include "engine/fat/FatBootSector.h"
#include "engine/fat/FatBuildDataRun.h"
#include "engine/fat/FatFileNode.h"
#include "engine/fat/FatFileProperties.h"
#include "engine/fat/FatFolderAnalyser.h"
#include "engine/include/FileNode.h"
#include "engine/include/StorageDevice.h"

#include <algorithm>
#include <vector>

CFATBuildWorker::CFATBuildWorker(IDirecotryTreeBuilder* treeBuilder, IProgress* progress,
                                 CSearchedPartitionInfo* partition, IStorageDevice* device,
                                 enumFILE_SYSTEM_TYPE kind, std::uint64_t partitionStart, unsigned sectorsPerCluster,
                                 std::uint64_t rootStart, std::uint32_t rootSectors, std::uint32_t rootCluster,
                                 int buildRoot, std::uint64_t firstDataSector, std::uint64_t clusterCount,
                                 IFATTable* fat)
    : m_builder(treeBuilder), m_progress(progress), m_partition(partition), m_device(device),
      m_partitionStart(partitionStart), m_buildRoot(buildRoot), m_fat(fat) {
    m_geo.kind = kind;
    m_geo.sectorSize = device && device->GetSectorSize() >= 512 ? device->GetSectorSize() : 512;
    m_geo.sectorsPerCluster = sectorsPerCluster ? sectorsPerCluster : 1;
    m_geo.clusterCount = clusterCount;
    m_geo.rootCluster = rootCluster;
    m_geo.rootStart = rootStart;
    m_geo.rootSectors = rootSectors;
    m_geo.firstDataSector = firstDataSector;
}

std::uint64_t CFATBuildWorker::ConvertClusterNumToSector(std::uint64_t cluster) const {
    if (cluster < 2) return 0;
    return (cluster - 2) * m_geo.sectorsPerCluster + m_geo.firstDataSector;
}

std::uint64_t CFATBuildWorker::ConvertSectorToClusterNum(std::uint64_t sector) const {
    if (sector < m_geo.firstDataSector) return 0;
    return (sector - m_geo.firstDataSector) / m_geo.sectorsPerCluster + 2;
}

bool CFATBuildWorker::IsFirsectorInCluster(std::uint64_t sector) const {
    return sector >= m_geo.firstDataSector && (sector - m_geo.firstDataSector) % m_geo.sectorsPerCluster == 0;
}

IDataRunList* CFATBuildWorker::BuildDataRunList(std::uint64_t firstCluster, std::uint64_t size, bool deleted) {
    CFATBuildDataRun runs(m_fat, m_geo.sectorSize, m_geo.sectorsPerCluster, m_geo.clusterCount);
    return runs.BuildDataRunList(firstCluster, size, deleted);
}

int CFATBuildWorker::BuildSubDirChild(CFATBuildChildren& builder, CFATFileNode* node, FatFolderQueue& queue,
                                      int isRoot, int show) {
    if (!node || node->GetCurrentNodeID() < 0) return 0;
    const auto first = static_cast<std::uint64_t>(node->GetCurrentNodeID());
    const std::uint64_t low = first & 0xFFFF, high = (first >> 16) & 0xFFFF;
    const std::uint64_t size = static_cast<std::uint64_t>(std::max<long long>(node->GetFileSize(), 0));
    const bool deleted = node->IsDeleted() != 0;
    for (std::uint64_t i = 0; i < high + 50; ++i) {
        const std::uint64_t c = low + i * 0x10000;
        if (c >= m_geo.clusterCount + 2) break;
        node->SetCurrentNodeID(static_cast<long long>(c));
        node->SetDataRunList(BuildDataRunList(c, size, deleted));
        if (builder.BuildChildren(node, static_cast<std::uint32_t>(c), queue, isRoot, show)) return 1;
    }
    node->SetCurrentNodeID(static_cast<long long>(first));
    node->SetDataRunList(BuildDataRunList(first, size, deleted));
    return 0;
}

void CFATBuildWorker::Report(std::uint64_t current) {
    if (!m_progress) return;
    _PROGRESS_INFO info = MakeProgress(PROGRESS_RUNNING, 100, current);
    m_progress->UpdateProgress(&info);
}

ResultCode CFATBuildWorker::QuickBuildDirectoryTree(int show) {
    FatFolderQueue queue;
    std::deque<CFATFileNode*> deleted;
    GetEmptyFileVirtualClusterNumObject()->ResetVirtualClusterNum();
    CFATBuildChildren children(m_builder, m_progress, m_partition, m_device, m_visited, m_folders, m_fat, m_geo);
    children.SetQuickScan(false);
    children.SetFileSectorMap(m_fileSectorMap);
    children.SetDeferredDeletedFolders(&deleted);

    ResultCode result = 0;
    if (!children.BuildRoot(queue, show, m_buildRoot)) {
        result = fat::kRootUnreadable;
    } else {
        std::uint32_t done = 0, lastSent = 0;
        while (!queue.empty() || !deleted.empty()) {
            if (m_progress) {
                if (!m_progress->Continued()) {
                    result = fat::kSearchStopped;
                    break;
                }
                ++done;
                const std::uint32_t p = static_cast<std::uint32_t>(
                    std::uint64_t{done} * 100 / (done + queue.size() + deleted.size()));
                if (p > lastSent) {
                    lastSent = p;
                    Report(p);
                }
            }
            IFileNode* node = nullptr;
            if (!queue.empty()) {
                node = queue.front();
                queue.pop_front();
            } else {
                node = AddDeletedFolder(deleted.front());
                deleted.pop_front();
                if (!node) continue;
            }
            if (!node->GetFirstChild())
                children.BuildChildren(node, static_cast<std::uint32_t>(node->GetCurrentNodeID()), queue, 0, show);
        }
    }
    // Deleted folders not listed (after a stop) are still shown.
    for (CFATFileNode* d : deleted)
        if (!m_builder || !m_builder->AddNode(d, SEARCHER_FAT)) d->Release();
    if (m_progress) Report(100);
    return result;
}

// Live folders are read first. A deleted folder whose first cluster has since
// been read as part of a live folder is an old entry of that folder (moved or
// deleted and reused): it keeps no claim on the cluster, so it gets an id of
// its own and is not listed; children found there belong to the live folder.
CFATFileNode* CFATBuildWorker::AddDeletedFolder(CFATFileNode* folder) {
    const auto cluster = static_cast<std::uint32_t>(folder->GetCurrentNodeID());
    const bool stale = m_visited.count(cluster) != 0;
    if (stale) {
        const auto pseudo = static_cast<long long>(GetEmptyFileVirtualClusterNumObject()->GetVirtualClusterNum());
        folder->GetFileProperties()->SetFirstClusterNum(pseudo);
        folder->SetCurrentNodeID(pseudo);
    }
    if (!m_builder || !m_builder->AddNode(folder, SEARCHER_FAT)) {
        folder->Release();
        return nullptr;
    }
    if (stale) return nullptr;
    m_folders.emplace(cluster, folder);
    return folder;
}

bool CFATBuildWorker::IsFullValidDBR(fat::Bytes sector, std::uint64_t startSector, IStorageDevice* device) {
    if (!device) return false;
    const unsigned ss = device->GetSectorSize();
    const CTempFATDBR boot(sector, ss);
    if (!boot.IsValidDBR()) return false;
    const std::uint64_t fats = std::uint64_t{boot.GetNumberOfFat()} * boot.GetSectorsPerFat();
    if (boot.GetTotalSectors() < fats) return false;
    std::vector<std::uint8_t> buf(ss < 512 ? 512 : ss);
    const std::uint64_t copies[2] = {startSector + boot.GetReservedSector(),
                                     startSector + boot.GetReservedSector() + boot.GetSectorsPerFat()};
    bool anyRead = false;
    for (std::uint64_t at : copies) {
        if (device->ReadSector(buf.data(), static_cast<long long>(at), 1) == 0) continue;
        anyRead = true;
        enumFILE_SYSTEM_TYPE kind = FS_UNKNOWN;
        if (CFATTableAnalyser::IsValidFATTableFirstSector(buf, ss, kind)) return true;
        // The table analyser knows only the FAT16 and FAT32 headers.
        if (boot.GetFileSystemType() == FS_FAT12 && fat::IsFat12Header(buf)) return true;
    }
    // Tables whose first sectors cannot be read say nothing against the boot
    // sector; their other entries are still read.
    return !anyRead;
}
