#pragma once
// The exFAT quick searcher: reads the boot sector and walks the folder tree of
// one volume from the root, handing every file and folder it finds, deleted
// ones included, to the tree builder as searcher type 33.
#include "engine/exfat/ExfatEntries.h"
#include "engine/exfat/ExfatPartition.h"
#include "engine/include/SearchInterfaces.h"

#include <deque>
#include <unordered_set>
#include <vector>

class CExFatFileNode;

namespace exfat {
// Library byte of the exFAT result codes.
inline constexpr std::uint8_t kResultLib = 0x0b;
inline constexpr ResultCode kNoBuilderOrDevice = MakeResult(kResultLib, 1, 1);
inline constexpr ResultCode kNoProgress = MakeResult(kResultLib, 2, 1);
inline constexpr ResultCode kBootSectorUnreadable = MakeResult(kResultLib, 3, 5);
inline constexpr ResultCode kNotExfat = MakeResult(kResultLib, 4, 0x16);
inline constexpr ResultCode kBuilderRefused = MakeResult(kResultLib, 5, 1);
// The root folder's first cluster could not be read (outside the heap or the device, or a failed read).
inline constexpr ResultCode kRootUnreadable = MakeResult(kResultLib, 6, 5);
} // namespace exfat

class CExFatQuickSearch : public IQuickFileSystemSearchController {
public:
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) override;
    // Always ends with the finished record {3, 1, 1} once a sink is given; its
    // result, and the answer, is the failure that stopped the search, else 0.
    ResultCode QuickSearchFiles(IStorageDevice* volume, IProgress* sink) override;

    const CExFatPartition& Partition() const { return m_partition; }
    // Folder clusters that could not be read during the last search.
    std::size_t UnreadableClusters() const { return m_unreadable; }

private:
    struct Folder {
        std::uint32_t firstCluster;
        std::uint64_t size;
        bool contiguous;
        bool deleted;
        long long id;
    };

    ResultCode PrepareSearch(IStorageDevice* device);
    ResultCode QuickSearch(IStorageDevice* device, IProgress* progress);
    // Walks one folder and hands its children to the builder; accepted
    // sub-folders join the work list. False when no cluster of it could be read.
    bool BuildChildren(IStorageDevice* device, const Folder& folder);

    IDirecotryTreeBuilder* m_builder = nullptr;
    CExFatPartition m_partition;
    CEFDTAnalyze m_analyzer;
    std::vector<std::uint8_t> m_cluster;
    std::unordered_set<std::uint32_t> m_read;
    std::deque<Folder> m_work;
    std::size_t m_unreadable = 0;
    bool m_bitmapLoaded = false;
};

namespace exfat {
IQuickFileSystemSearchController* CreateEXFatQuickSearcher();
}
