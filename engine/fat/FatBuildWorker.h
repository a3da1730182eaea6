#pragma once
// What one FAT partition's tree build shares (geometry, table, the folder map
// and the clusters already read), and the quick tree build: the root, then
// every folder breadth-first, with progress and cancellation.
#include "engine/fat/FatBuildChildren.h"
#include "engine/include/ResultCode.h"

namespace fat {
inline constexpr ResultCode kRootUnreadable = MakeResult(ResultLib::FatSearch, 142, 1);
inline constexpr ResultCode kSearchStopped = MakeResult(ResultLib::FatSearch, 152, 13);
} // namespace fat

class CFATBuildWorker {
public:
    // The builder, progress, partition, device and table are borrowed.
    // rootStart/rootSectors describe a FAT12/16 root area, rootCluster a FAT32
    // root; clusterCount bounds every cluster of the build.
    CFATBuildWorker(IDirecotryTreeBuilder* treeBuilder, IProgress* progress, CSearchedPartitionInfo* partition,
                    IStorageDevice* device, enumFILE_SYSTEM_TYPE kind, std::uint64_t partitionStart,
                    unsigned sectorsPerCluster, std::uint64_t rootStart, std::uint32_t rootSectors,
                    std::uint32_t rootCluster, int buildRoot, std::uint64_t firstDataSector,
                    std::uint64_t clusterCount, IFATTable* fat);

    // Lists every folder reachable from the root; 0, fat::kRootUnreadable or
    // fat::kSearchStopped (the nodes found so far stay with the builder).
    ResultCode QuickBuildDirectoryTree(int show);

    std::uint64_t ConvertClusterNumToSector(std::uint64_t cluster) const;
    std::uint64_t ConvertSectorToClusterNum(std::uint64_t sector) const;
    bool IsFirsectorInCluster(std::uint64_t sector) const;
    IDataRunList* BuildDataRunList(std::uint64_t firstCluster, std::uint64_t size, bool deleted);
    void SetFileSectorMap(std::map<long long, unsigned>* map) { m_fileSectorMap = map; }

    // Lists a deleted FAT32 folder whose entry may have lost the high word of
    // its first cluster: the low word + i x 0x10000 is tried, i from 0 while
    // below the entry's high word + 50, with the folder's runs rebuilt for
    // each, until the builder accepts one as a folder (it opens with "." and
    // ".."). The node keeps the accepted first cluster. 1 when one was
    // accepted, else 0 (the node's id and runs are then those it came with).
    int BuildSubDirChild(CFATBuildChildren& builder, CFATFileNode* node, FatFolderQueue& queue, int isRoot,
                         int show);

    // A boot sector whose geometry holds and one of whose FAT copies begins
    // with a FAT header.
    static bool IsFullValidDBR(fat::Bytes sector, std::uint64_t startSector, IStorageDevice* device);

    const FatBuildGeometry& Geometry() const { return m_geo; }
    FatFolderMap& Folders() { return m_folders; }
    FatVisitedClusters& Visited() { return m_visited; }

private:
    void Report(std::uint64_t current);
    // Hands a deferred deleted folder to the builder; the folder to list, or null.
    CFATFileNode* AddDeletedFolder(CFATFileNode* folder);

    IDirecotryTreeBuilder* m_builder;
    IProgress* m_progress;
    CSearchedPartitionInfo* m_partition;
    IStorageDevice* m_device;
    std::uint64_t m_partitionStart;
    int m_buildRoot;
    IFATTable* m_fat;
    FatBuildGeometry m_geo;
    FatFolderMap m_folders;
    FatVisitedClusters m_visited;
    std::map<long long, unsigned>* m_fileSectorMap = nullptr;
};
