#include "engine/writer/NodePartition.h"

#include "engine/common/FileNode.h"
#include "engine/include/Owned.h"
#include "engine/include/SearchedPartitionInfo.h"

#include <cmath>
#include <memory>

bool IsMetaDataInRange(const CSearchedPartitionInfo& partition, CFileNode& node) {
    const long long s = node.GetMetadataStartPosition();
    const long long start = partition.m_startSector;
    const unsigned long long total = partition.GetTotalSectors();
    if (s <= start) return false;
    return static_cast<unsigned long long>(s - start) < total;
}

bool IsDataRunListInRange(const CSearchedPartitionInfo& partition, const std::vector<DataRun>& runs) {
    const long long start = partition.m_startSector;
    const long long spc = partition.m_sectorsPerCluster;
    long long end = 0; // first sector past the partition
    if (__builtin_add_overflow(start, static_cast<long long>(partition.GetTotalSectors()), &end))
        return false;
    for (const DataRun& run : runs) {
        if (run.start < 0 || run.length <= 0) continue; // sparse: on no sector
        // Device sectors of the run's first and last clusters.
        long long first = 0, count = 0, last = 0;
        if (__builtin_mul_overflow(run.start, spc, &first) ||
            __builtin_add_overflow(first, partition.m_clusterOrigin, &first) ||
            __builtin_mul_overflow(run.length, spc, &count) ||
            __builtin_add_overflow(first, count - 1, &last))
            return false;
        if (first < start || last >= end) return false;
    }
    return true;
}

bool IsClusterSuit(unsigned sectorsPerCluster, CFileNode& node, const std::vector<DataRun>& runs) {
    if (sectorsPerCluster % 2 != 0) return false;
    if (runs.size() <= 1) return true;
    long double clusters = 0;
    for (const DataRun& run : runs)
        clusters += static_cast<long double>(run.length);
    if (clusters < 2) return true;
    const long double c = std::ceil(static_cast<long double>(node.GetFileSize()) / clusters / 512.0L);
    unsigned p = 0;
    for (unsigned q = 2; q <= (1u << 24); q <<= 1) {
        if (q / 2 < c && c <= q) {
            p = q;
            break;
        }
    }
    return p != 0 && p == sectorsPerCluster;
}

std::vector<DataRun> CopyRuns(IDataRunList* list) {
    std::vector<DataRun> runs;
    if (!list) return runs;
    Owned<IDataRunList> copy(list->Clone());
    if (!copy) return runs;
    for (DataRun* r = copy->GetFirst(); r; r = copy->GetNext())
        runs.push_back(*r);
    return runs;
}

CSearchedPartitionInfo*
GetNodePartition(CFileNode* node, const std::vector<CSearchedPartitionInfo*>& partitions, unsigned count) {
    if (!node || partitions.empty()) return nullptr;
    if (count > partitions.size()) count = static_cast<unsigned>(partitions.size());
    if (count <= 1 || partitions.size() == 1) return partitions[0];

    const std::uint16_t index = node->GetBelongedPartition();
    for (unsigned i = 0; i < count; ++i) {
        if (partitions[i] && partitions[i]->m_partitionIndex == index) return partitions[i];
    }

    IDataRunList* list = node->GetDataRunList();
    const std::vector<DataRun> runs = CopyRuns(list);
    for (unsigned i = 0; i < count; ++i) {
        CSearchedPartitionInfo* p = partitions[i];
        if (!p) continue;
        if (IsMetaDataInRange(*p, *node) && list && IsDataRunListInRange(*p, runs) &&
            IsClusterSuit(p->m_sectorsPerCluster, *node, runs))
            return p;
    }
    return partitions[0];
}
