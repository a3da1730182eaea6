#pragma once
// The exFAT partition builder of the deep search: turns boot sectors, FAT and
// up-case table positions and folder fragments into partition hypotheses
// (cluster heap start and cluster size), keeps those the folder trees or boot
// sectors confirm, and builds each kept partition's file tree.
#include "engine/exfat/ExfatFileSet.h"
#include "engine/exfat/ExfatPartition.h"

#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

class CExFatDBR;
class CExFatFileNode;

class CExFatPartitionEx : public CExFatPartition {
public:
    enum Flags : std::uint32_t {
        kBootMain = 0x80000000u,
        kBootBackup = 0x40000000u,
        kFromRoot = 0x10000000u,
        kFromTree = 0x08000000u,
        kFromAllocation = 0x02000000u,
        kFat1Seen = 1,
        kFat2Seen = 2,
    };

    std::int64_t Heap() const { return HeapFirstSector(); }
    std::int64_t Spc() const { return SectorsPerCluster(); }
    std::pair<std::int64_t, std::int64_t> Key() const { return {Heap(), Spc()}; }
    bool HasBoot() const { return (flags & (kBootMain | kBootBackup)) != 0; }
    // The root cluster, or 0xFFFFFFFF until known.
    std::uint32_t Root() const { return RootCluster(); }
    void SetRoot(std::uint32_t r) { SetGeometry(SectorSize(), SectorsPerCluster(), ClusterLimit(), r, Heap()); }
    // The first sector past the partition.
    std::int64_t EndSector() const { return Heap() + static_cast<std::int64_t>(m_totalSectors); }
    bool Contains(const CFileSet& f) const {
        return f.firstSector >= Heap() && f.End() <= EndSector();
    }
    bool OnBoundary(const CFileSet& f) const { return (f.firstSector - Heap()) % Spc() == 0; }
    std::uint32_t ClusterOf(std::int64_t sector) const {
        return static_cast<std::uint32_t>((sector - Heap()) / Spc() + 2);
    }

    std::uint32_t flags = 0;
    std::uint32_t numberOfFats = 0;
    std::uint32_t fatLength = 0;
    std::uint64_t fatOffset = 0;
    std::int64_t fatStart = -1; // absolute first sector of the FAT in use, -1 when none was found
    std::uint32_t clusterCount = 0;
    std::uint32_t bitmapCluster = 0;
    std::uint64_t bitmapLength = 0;
    std::set<CFileSet*> matched;
    std::map<std::int64_t, std::uint32_t> dataSectorMap; // matched fragments: first sector -> sector count
    std::vector<std::int64_t> onBoundary, offBoundary;
    // Once its nodes are built the fragments are no longer needed.
    void ForgetFragments() {
        std::set<CFileSet*>().swap(matched);
        std::map<std::int64_t, std::uint32_t>().swap(dataSectorMap);
        std::vector<std::int64_t>().swap(onBoundary);
        std::vector<std::int64_t>().swap(offBoundary);
    }
    CFileSet* rootFragment = nullptr;
};

class CPartitionBuilder {
public:
    static constexpr std::size_t kMaxCandidates = 1024;
    static constexpr std::size_t kTrimTo = 512;

    CPartitionBuilder() = default;
    CPartitionBuilder(const CPartitionBuilder&) = delete;
    CPartitionBuilder& operator=(const CPartitionBuilder&) = delete;

    void PrepareBuild(unsigned sectorSize, std::uint64_t totalSectors);
    void Clear();

    // A boot sector found at sector.
    void Build(std::int64_t sector, const CExFatDBR& boot);
    void RecordFAT(std::int64_t sector);
    void RecordUpCaseTable(std::int64_t sector);
    void PushFileSet(std::unique_ptr<CFileSet> fragment, std::int64_t last, std::int64_t next);
    // The per-sector step: settles waiting fragments when many wait or the
    // walk has gone far past them.
    void Build(std::int64_t sector);
    // Settles every hypothesis; the kept partitions, best first.
    void FinishBuid(std::vector<std::unique_ptr<CExFatPartitionEx>>& out);
    // The nodes of one kept partition; the caller owns them.
    // lastUse: no other partition's tree follows, so each fragment's records
    // are freed once they have become nodes.
    void BuildFileTree(CExFatPartitionEx& partition, std::vector<CExFatFileNode*>& nodes, bool lastUse = false);

    // Tests.
    std::size_t CandidateCount() const { return m_candidates.size(); }
    std::vector<const CExFatPartitionEx*> Candidates() const;
    const std::vector<std::unique_ptr<CFileSet>>& Fragments() const { return m_fragments; }
    // Scores the folder tree from f under (h, s); the fragments found go to matched.
    int CheckTree(CFileSet* f, std::int64_t h, std::int64_t s, std::vector<CFileSet*>& matched, int minimum);

private:
    using Key = std::pair<std::int64_t, std::int64_t>;

    CExFatPartitionEx* Find(std::int64_t h, std::int64_t s);
    CExFatPartitionEx* Make(std::int64_t h, std::int64_t s, std::uint32_t flags);
    // Removes a candidate from the set and the list together.
    void Remove(CExFatPartitionEx* p, bool remember);
    void SortList();
    void SpillPartition();
    void AddMatched(CExFatPartitionEx& p, const std::vector<CFileSet*>& frags);

    void BuildFromTree(); // one tree step on the next waiting fragment
    bool BuildFromUpcaseTable(CFileSet* f, std::vector<Key>& made, CExFatPartitionEx*& confirmed);
    void BuildFromRoot(CFileSet* f, std::vector<Key>& made, CExFatPartitionEx*& confirmed);
    // false when the search is over (a candidate was confirmed).
    bool BuildPartionByRoot(CFileSet* f, std::int64_t h, std::int64_t s, std::uint32_t r, std::vector<Key>& made,
                            CExFatPartitionEx*& confirmed);
    void UpdatePartitionList(CFileSet* f, const std::vector<Key>& made);
    void BuildFromTree(CFileSet* a, CFileSet* b, int mode);
    bool IsBelongExistedPartition(CFileSet* f);
    void BuildFromAllocBackWard(CFileSet* f);
    bool ClustersCollide(const std::vector<CFileSet*>& frags, std::int64_t h, std::int64_t s) const;
    void WinnowPartition(std::vector<CExFatPartitionEx*>& kept);
    void SimpleBuild();
    bool IsCover(const CExFatPartitionEx& a, const CExFatPartitionEx& b) const;
    CFileSet* FragmentAt(std::int64_t sector) const;
    bool OnDevice(std::int64_t h, std::int64_t s, std::uint32_t cluster) const;
    // The settled partition's sector size and the data sectors its tree reads:
    // the fragments that start inside one of its clusters join those on a boundary.
    void CalcPartitionParam(CExFatPartitionEx& p) const;
    void FindFat(CExFatPartitionEx& p) const;

    unsigned m_sectorSize = 512;
    std::uint64_t m_totalSectors = 0;
    std::vector<std::unique_ptr<CFileSet>> m_fragments;
    std::map<std::int64_t, CFileSet*> m_bySector;
    std::size_t m_nextFragment = 0;
    std::int64_t m_reach = 0;
    // The candidates: owned by the map (the set, by heap start then cluster
    // size); the list holds the same candidates in rank order.
    std::map<Key, std::unique_ptr<CExFatPartitionEx>> m_candidates;
    std::vector<CExFatPartitionEx*> m_list;
    std::set<Key> m_removed;
    std::set<CFileSet*> m_claimed;
    std::vector<std::int64_t> m_upcase;
    std::vector<std::int64_t> m_fats;
};
