#pragma once
// Data runs of FAT files: a live file's runs follow its cluster chain, a
// deleted file's are assumed contiguous from its first cluster. Runs count
// clusters from cluster 2 (start = cluster - 2), the partition's cluster origin.
#include "engine/include/FileNode.h"

#include <cstdint>
#include <vector>

class IFATTable;

namespace fat {
// The first pseudo cluster: above every real (28-bit) cluster number.
inline constexpr std::uint64_t kFirstPseudoCluster = 0x100000000ull;
} // namespace fat

// Pseudo first clusters for empty files, which own no cluster but need
// distinct node ids within one tree build.
class CEmptyFileVirtualClusterNum {
public:
    void ResetVirtualClusterNum() { m_next = fat::kFirstPseudoCluster; }
    std::uint64_t GetVirtualClusterNum() { return m_next++; }

private:
    std::uint64_t m_next = fat::kFirstPseudoCluster;
};

// The process-wide counter (tree builds run one at a time on the scan thread).
CEmptyFileVirtualClusterNum* GetEmptyFileVirtualClusterNumObject();

class CFATBuildDataRun {
public:
    // clusterCount: the partition's data clusters (numbers 2 .. count + 1);
    // every run lies inside them. clusterUse, when given, gets a mark for every
    // cluster of the runs built.
    CFATBuildDataRun(IFATTable* fat, unsigned sectorSize, unsigned sectorsPerCluster, std::uint64_t clusterCount,
                     std::vector<bool>* clusterUse = nullptr);

    // Null without a table or geometry, for a first cluster outside the
    // partition, or when a run would leave it. The caller owns the list.
    IDataRunList* BuildDataRunList(std::uint64_t firstCluster, std::uint64_t size, bool deleted);
    // Adds the runs of a deleted file: the table is followed while it links
    // the clusters, then the following free clusters (those the table gives to
    // other files are stepped over), until the size is covered.
    static void BuildDeleteFileDataRunList(IDataRunList& list, std::uint64_t firstCluster, std::uint64_t size,
                                           IFATTable* fat, unsigned sectorsPerCluster, std::uint64_t clusterCount,
                                           unsigned sectorSize);

private:
    IDataRunList* BuildLive(std::uint64_t firstCluster, std::uint64_t size);
    void MarkUse(IDataRunList& list);

    IFATTable* m_fat;
    unsigned m_sectorSize;
    unsigned m_sectorsPerCluster;
    std::uint64_t m_clusterCount;
    std::vector<bool>* m_clusterUse;
};
