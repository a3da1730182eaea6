#pragma once
// The tree build of one FAT partition found by the deep search: the root (when
// the partition's boot sector or root folder was found), then every folder whose
// first sector was seen on the device, folders whose parent is gone under
// synthetic "DIRn" folders, then the entries of stray folder clusters, and for
// FAT12/16 partitions without a boot sector the root sectors found before the
// data area.
#include "engine/fat/FatBuildWorker.h"
#include "engine/fat/FatFileProperties.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class CFATSearchedPartitionInfo;

// A folder sector seen by the deep search. A folder's first sector carries the
// clusters of its "." and ".." entries; any other folder sector has both
// clusters kNoCluster.
struct FIRSTFOLDERSECTOR {
    static constexpr std::uint32_t kNoCluster = 0xFFFFFFFF;
    std::int64_t sector = 0;
    std::uint32_t dotCluster = kNoCluster;
    std::uint32_t dotDotCluster = kNoCluster;
    bool HasDots() const { return dotCluster != kNoCluster; }
};

// Ordered by sector, one record per sector (the stream only moves forward, so
// appending keeps the order).
using FatFolderSectors = std::vector<FIRSTFOLDERSECTOR>;

namespace fat {
// The name of the next synthetic lost folder: "DIR%d" from a process-wide
// counter that starts at 0 and is never reset.
std::string NextLostFolderName();
} // namespace fat

class CFATDeepBuildWorker : public CFATBuildWorker {
public:
    // As CFATBuildWorker; rootListed tells whether the root is to be listed.
    CFATDeepBuildWorker(IDirecotryTreeBuilder* treeBuilder, CFATSearchedPartitionInfo* partition,
                        IStorageDevice* device, enumFILE_SYSTEM_TYPE kind, std::uint64_t partitionStart,
                        std::uint64_t partitionSectors, unsigned sectorsPerCluster, std::uint64_t rootStart,
                        std::uint32_t rootSectors, std::uint32_t rootCluster, int rootListed,
                        std::uint64_t firstDataSector, std::uint64_t clusterCount, IFATTable* fat);

    void SetFileSectorMap(std::map<long long, unsigned>* map) {
        m_sectorMap = map;
        CFATBuildWorker::SetFileSectorMap(map);
    }

    // Nodes that listings of lost folders, of stray folder clusters and of
    // root sectors of a root not found may still hand to the tree builder,
    // shared by the partitions of one scan and lowered as they list;
    // unbounded when not given. A listing begins only while some remain.
    void SetLostNodeBudget(std::size_t* nodesLeft) { m_lostNodesLeft = nodesLeft; }
    // Sectors [first, end) of other volumes found inside this one's space (a
    // partition made in space it claims, or a volume kept in it): their
    // folder sectors are theirs, read through their own geometry. Sorted.
    void SetForeignSpans(std::vector<std::pair<std::uint64_t, std::uint64_t>> spans) {
        m_foreign = std::move(spans);
    }

    // Lists the partition's folders from the folder sectors seen; 1.
    int CompleteBuildDirectoryTree(const FatFolderSectors& folderSectors);
    // Lists the entries of folder clusters that no listed folder claimed, as
    // deleted nodes without a parent; 0 when the partition holds no folder sector.
    int BuildLostNode(CFATBuildChildren& builder, const FatFolderSectors& folderSectors);
    // Parses one sector found before the data area as root entries.
    void BuildFat16LostRoot(CFATBuildChildren& builder, std::uint64_t sector);
    // A synthetic lost folder: deleted, a lost folder's descendants take no
    // first-cluster carry. The caller owns it.
    CFATFileNode* CreateTempFileNode(std::uint32_t cluster, std::uint32_t parentCluster);

private:
    // [first, last) of the records inside the partition's data range.
    std::pair<std::size_t, std::size_t> Range(const FatFolderSectors& sectors, std::uint64_t from) const;
    // Folder entries of clusters that are no folder's first cluster, by first
    // cluster: the names a lost folder had in the parent that is gone.
    void HarvestFolderNames(const FatFolderSectors& sectors, std::size_t first, std::size_t last);
    // The folder to list a first sector's entries under: a folder met in a
    // listing, else a new lost folder offered to the tree builder (null when refused).
    CFATFileNode* FolderFor(const FIRSTFOLDERSECTOR& record);
    bool ReadCluster(std::uint64_t sector, std::vector<std::uint8_t>& buffer);
    // The stray folder clusters (first sectors without "." in the data range)
    // that the table gives to some chain: the ones a live file may hold.
    void WatchStrayClusters(const FatFolderSectors& sectors);
    // Whether the sector lies in another volume's space.
    bool Foreign(std::uint64_t sector) const;
    bool LostRoomLeft() const { return !m_lostNodesLeft || *m_lostNodesLeft > 0; }
    void ChargeLost(std::size_t nodes);

    IDirecotryTreeBuilder* m_treeBuilder;
    CFATSearchedPartitionInfo* m_record;
    IStorageDevice* m_dev;
    IFATTable* m_table;
    std::uint64_t m_start;
    std::uint64_t m_sectors;
    int m_rootListed;
    std::map<long long, unsigned>* m_sectorMap = nullptr;
    std::map<std::uint32_t, std::unique_ptr<CFATFileProperties>> m_harvest;
    std::size_t* m_lostNodesLeft = nullptr;
    FatLiveChainWatch m_liveChains;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> m_foreign;
};
