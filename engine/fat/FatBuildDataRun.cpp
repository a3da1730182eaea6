#include "engine/fat/FatBuildDataRun.h"

#include "engine/common/DataRunList.h"
#include "engine/fat/FatTable.h"
#include "engine/include/Owned.h"

#include <memory>

namespace {
using ListPtr = Owned<IDataRunList>;

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }
} // namespace

CEmptyFileVirtualClusterNum* GetEmptyFileVirtualClusterNumObject() {
    static CEmptyFileVirtualClusterNum counter;
    return &counter;
}

CFATBuildDataRun::CFATBuildDataRun(IFATTable* fat, unsigned sectorSize, unsigned sectorsPerCluster,
                                   std::uint64_t clusterCount, std::vector<bool>* clusterUse)
    : m_fat(fat), m_sectorSize(sectorSize), m_sectorsPerCluster(sectorsPerCluster), m_clusterCount(clusterCount),
      m_clusterUse(clusterUse) {}

IDataRunList* CFATBuildDataRun::BuildDataRunList(std::uint64_t firstCluster, std::uint64_t size, bool deleted) {
    if (!m_fat || m_clusterCount == 0 || m_sectorSize == 0 || m_sectorsPerCluster == 0) return nullptr;
    ListPtr list;
    if (deleted) {
        list.reset(CreateDataRunList());
        if (!list) return nullptr;
        BuildDeleteFileDataRunList(*list, firstCluster, size, m_fat, m_sectorsPerCluster, m_clusterCount,
                                   m_sectorSize);
        if (!list->GetFirst()) return nullptr;
    } else {
        list.reset(BuildLive(firstCluster, size));
        if (!list) return nullptr;
    }
    MarkUse(*list);
    return list.release();
}

// The chain gives the runs; the last run is sized from the bytes still
// uncovered, so a chain longer than the file is cut and a shorter one extended.
IDataRunList* CFATBuildDataRun::BuildLive(std::uint64_t firstCluster, std::uint64_t size) {
    const std::uint64_t limit = m_clusterCount + 2;
    // Clusters 0 and 1 are no data clusters: a run there would be the FAT or
    // the root area read back as the file.
    if (firstCluster < 2 || firstCluster >= limit || size == 0) return nullptr;
    ListPtr list(CreateDataRunList());
    if (!list) return nullptr;
    const std::uint64_t clusterBytes = std::uint64_t{m_sectorSize} * m_sectorsPerCluster;
    DataRun run{static_cast<long long>(firstCluster - 2), 1};
    std::uint64_t covered = 0;
    auto fits = [&](const DataRun& r) {
        return r.start >= 0 && r.length >= 1 &&
               static_cast<std::uint64_t>(r.start) + static_cast<std::uint64_t>(r.length) <= m_clusterCount;
    };
    std::uint32_t current = static_cast<std::uint32_t>(firstCluster);
    // Every step moves to another cluster of the partition: a chain cannot
    // honestly be longer than the partition.
    for (std::uint64_t steps = 0; steps <= m_clusterCount; ++steps) {
        const std::uint32_t next = m_fat->GetNextCluster(current);
        if (fat::IsChainEnd(next)) {
            run.length = static_cast<long long>(CeilDiv(size - covered, clusterBytes));
            if (!fits(run)) return nullptr;
            list->AddDataRun(&run);
            return list.release();
        }
        if (next == current + 1ull) {
            ++run.length;
        } else {
            if (!fits(run)) return nullptr;
            list->AddDataRun(&run);
            covered += static_cast<std::uint64_t>(run.length) * clusterBytes;
            if (covered >= size) return list.release();
            if (next >= limit) return nullptr; // the bad mark or a link out of the partition
            run = DataRun{static_cast<long long>(next) - 2, 1};
        }
        current = next;
    }
    return nullptr;
}

void CFATBuildDataRun::BuildDeleteFileDataRunList(IDataRunList& list, std::uint64_t firstCluster,
                                                  std::uint64_t size, IFATTable* fat, unsigned sectorsPerCluster,
                                                  std::uint64_t clusterCount, unsigned sectorSize) {
    if (firstCluster < 2 || !fat) return;
    const std::uint64_t limit = clusterCount + 2;
    const std::uint64_t clusterBytes = std::uint64_t{sectorSize} * sectorsPerCluster;
    if (clusterBytes == 0) return;
    std::uint64_t c = firstCluster;
    std::uint64_t bytes = 0;
    bool follow = true;
    // Every pass adds one cluster's bytes, so the size bounds the loop; the
    // partition's end (which every end and bad mark lies beyond) stops it too.
    while (bytes < size && c < limit) {
        const DataRun run{static_cast<long long>(c) - 2, 1};
        list.AddDataRun(&run);
        bytes += clusterBytes;
        if (follow) {
            const std::uint32_t next = fat->GetNextCluster(static_cast<std::uint32_t>(c));
            if (fat::IsKnownUsed(next)) {
                c = next;
                continue;
            }
            // A freed entry, or one that cannot be read: the rest is assumed
            // to follow contiguously.
            follow = false;
        }
        // A cluster the table gives to a live file cannot hold this file's
        // surviving bytes (they would be the live file's): the assumed run
        // steps over it to the next free cluster (an unreadable entry gives
        // no cluster away).
        for (++c; c < limit && fat::IsKnownUsed(fat->GetNextCluster(static_cast<std::uint32_t>(c)));) ++c;
    }
}

void CFATBuildDataRun::MarkUse(IDataRunList& list) {
    if (!m_clusterUse) return;
    ListPtr copy(list.Clone());
    if (!copy) return;
    for (DataRun* r = copy->GetFirst(); r; r = copy->GetNext())
        for (long long i = 0; i < r->length; ++i) {
            const std::uint64_t c = static_cast<std::uint64_t>(r->start + i) + 2;
            if (c < m_clusterUse->size()) (*m_clusterUse)[c] = true;
        }
}
