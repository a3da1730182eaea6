#pragma once
// The FAT searcher of the deep scan. It looks at every sector of the device:
// boot sectors (and FAT32 backups) propose partitions, first sectors of FAT
// copies confirm them, and folder sectors both propose partitions that lost
// their boot sector and remember where folders lie. At the end it scores and
// numbers the partitions and builds each one's tree.
#include "engine/fat/FatDeepTree.h"
#include "engine/fat/FatFolderAnalyser.h"
#include "engine/fat/FatSearchedPartitionInfo.h"
#include "engine/include/SearchInterfaces.h"

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <vector>

class CTempFATDBR;

namespace fat {
inline constexpr ResultCode kDeepNoFatTable = MakeResult(ResultLib::FatSearch, 912, 7);
// Cluster sizes a partition without a boot sector is tried with, in order.
inline constexpr unsigned FAT_SUPPORTED_SECTORS_PER_CLUSTER[] = {1, 2, 4, 8, 16, 32, 64, 128};
// Candidate partitions kept per cluster size during a deep scan, besides
// those a boot sector and a FAT copy at its place both speak for.
inline constexpr std::size_t kMaxCandidatesPerClusterSize = 1024;
// Volumes a deep scan lists: a record's partition index is 16 bits wide, and
// 0xFFFF names none. A boot sector with its FAT copy behind it takes two
// sectors that other data seldom imitates, so a disk holds as many of them as
// it holds real volumes (a folder of floppy images holds thousands); beyond
// the bound the weakest go and are counted.
inline constexpr std::size_t kMaxListedVolumes = 0xFFFF;
// Folder sectors a deep scan remembers (16 bytes each, 16 MiB at most). A
// million folder sectors hold sixteen million directory entries, more than a
// real FAT volume lists; only folder-like data comes near. At the bound the
// records no held candidate can use go first (a real volume's serve it), then
// new ones are refused.
inline constexpr std::size_t kMaxFolderSectors = std::size_t{1} << 20;
// Partitions confirmed by sub-folders alone (neither boot sector nor FAT copy
// seen) that are listed, the most confirmed first. A real volume that lost
// its boot sector and both FATs is confirmed by each of its sub-folders, and a
// disk holds few of them; folder-like data confirms thousands of ghosts by
// one or two coincidences each, and each would be listed over the whole disk.
inline constexpr std::size_t kMaxFolderOnlyPartitions = 32;
// Nodes that listings of lost folders (first sectors no listing names), of
// stray folder clusters and of the root sectors of a FAT12/16 root not found
// may hand to the tree builder over one scan, about 50 MiB of nodes. On a
// real volume these are the tops of orphaned trees, the later clusters of long
// folders and one root (what lies below a listed folder is met through its
// listing and not charged); folder-like data makes every sector one.
inline constexpr std::size_t kMaxLostFolderNodes = std::size_t{1} << 16;

// The bounds above, lowered by tests.
struct DeepLimits {
    std::size_t folderSectors = kMaxFolderSectors;
    std::size_t folderOnlyPartitions = kMaxFolderOnlyPartitions;
    std::size_t lostFolderNodes = kMaxLostFolderNodes;
    std::size_t listedVolumes = kMaxListedVolumes;
};

ICompleteFileSystemSearchController* CreateFATSearcher();
} // namespace fat

class CFATCompleteFSearcher : public ICompleteFileSystemSearchController {
public:
    CFATCompleteFSearcher();
    ~CFATCompleteFSearcher() override;

    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    // With a null array the number of partitions; with room for all of them,
    // a copy of each (owned by the caller, carrying its score) and the number;
    // otherwise 0.
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) override;
    void SetDevice(IStorageDevice* device) override;
    void SetBlockSize(int sectors) override { m_blockSize = sectors; }
    int PreparetoSearch() override;
    void EndSearch(int build) override;
    int AnalyzeBlock(long long firstSector, long long sectorCount) override;
    void SetFileSectorMap(std::map<long long, unsigned>* map) override { m_fileSectorMap = map; }

    // Scores the proposed partitions, keeps those confirmed, numbers them and
    // appends them to results (which takes them over).
    void AddSearchedPartitionInfoList2(std::vector<std::unique_ptr<CFATSearchedPartitionInfo>>& results);
    // Lists one partition's tree into the tree builder; 0 or kDeepNoFatTable.
    ResultCode CompleteBulidDirectoryTree(CFATSearchedPartitionInfo& partition);

    // The sub-folders that confirmed a record, and its integer score.
    static std::int64_t SubFolderCount(const CSearchedPartitionInfo& p) { return p.m_searcherField2; }
    static std::int64_t Score(const CSearchedPartitionInfo& p) { return p.m_searcherField4; }

    // Tests.
    void SetLimits(const fat::DeepLimits& limits) {
        m_limits = limits;
        m_lostNodesLeft = limits.lostFolderNodes;
    }
    const std::vector<std::unique_ptr<CFATSearchedPartitionInfo>>& Results() const { return m_results; }
    const FatFolderSectors& FolderSectors() const { return m_folderSectors; }
    std::size_t ProposedCount() const { return m_candidates.size(); }
    // Volumes found and not listed (beyond listedVolumes), of the last search.
    std::size_t VolumesLeft() const { return m_volumesLeft; }

private:
    struct Candidate {
        std::unique_ptr<CFATSearchedPartitionInfo> record;
        // The other reading of the same boot sector (as a main boot sector and
        // as the backup 6 sectors after a start); at most one of them survives.
        Candidate* rival = nullptr;
        bool firstFatSeen = false;
        bool expectsFats = false; // its FAT copies are awaited (a boot sector proposed it)
        std::uint64_t order = 0; // when it was proposed
        std::uint64_t evidence = 0; // what speaks for it (see Rank), kept up to date
        std::list<Candidate>::iterator self;
    };
    // Weakest first: less evidence, then proposed earlier.
    struct WeakerFirst {
        bool operator()(const Candidate* a, const Candidate* b) const;
    };

    void AnalyzeSector(std::int64_t sector, fat::Bytes bytes);
    bool AnalyzeFATDBRSector(std::int64_t sector, fat::Bytes bytes);
    std::unique_ptr<CFATSearchedPartitionInfo> BuildPartitionInfoAccordingFATDBR(std::int64_t start,
                                                                                 const CTempFATDBR& boot,
                                                                                 bool isBackup) const;
    Candidate* AddCandidate(std::unique_ptr<CFATSearchedPartitionInfo> record, bool expectFats);
    void UpdateFATTableInfo(std::int64_t sector);
    void AnalyzeFATSubFolderFirstSector(std::int64_t sector, std::uint32_t cluster);
    Candidate* FindMatchedPartitionInfo(std::int64_t firstDataSector, unsigned sectorsPerCluster) const;
    std::unique_ptr<CFATSearchedPartitionInfo> BuildPartitionInfoAccordingtoSubFolder(std::int64_t sector,
                                                                                      std::uint32_t cluster,
                                                                                      unsigned sectorsPerCluster) const;
    enumFILE_SYSTEM_TYPE CalcFileSystemType(std::int64_t firstDataSector, unsigned sectorsPerCluster,
                                            std::uint64_t& clusters, std::uint64_t& sectorsPerFat) const;
    bool IsValidFileSystem(std::int64_t firstDataSector, unsigned sectorsPerCluster, enumFILE_SYSTEM_TYPE kind,
                           std::uint64_t& clusters, std::uint64_t& sectorsPerFat) const;
    void ClearProposals();
    // Records a folder sector within the bound on folder sectors.
    void RememberFolderSector(const FIRSTFOLDERSECTOR& record);
    // Whether a held candidate's data start and cluster size place the
    // record's "." at its own sector.
    bool ServesCandidate(const FIRSTFOLDERSECTOR& record) const;
    // Changes a candidate's evidence through change() and keeps its rank.
    template <typename Change>
    void Strengthen(Candidate& c, Change change);
    // Each cluster size keeps at most kMaxCandidatesPerClusterSize candidates:
    // the weakest go first, so folder-like data cannot grow them without bound.
    void BoundCandidates();
    void Drop(Candidate* c);
    // The rank a candidate is held in: its cluster size's, or the one of the
    // candidates a boot sector and a FAT copy confirm.
    std::set<Candidate*, WeakerFirst>& RankOf(const Candidate& c);

    long long m_blockSize = -1;
    IStorageDevice* m_device = nullptr;
    IDirecotryTreeBuilder* m_builder = nullptr;
    std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> m_results;
    // Proposed partitions (stable addresses) and their index by first data sector.
    std::list<Candidate> m_candidates;
    std::multimap<std::int64_t, Candidate*> m_byOrigin;
    // Where a proposed partition's FAT copies must begin: sector -> partition.
    std::multimap<std::int64_t, Candidate*> m_fatExpectations;
    // The candidates of each cluster size, weakest first.
    std::map<unsigned, std::set<Candidate*, WeakerFirst>> m_ranks;
    std::set<Candidate*, WeakerFirst> m_confirmed;
    std::size_t m_volumesLeft = 0;
    std::uint64_t m_proposals = 0;
    bool m_grown = false;
    FatFolderSectors m_folderSectors;
    // Folder sectors offered since the last thinning of the records.
    std::size_t m_offeredSinceThinning = 0;
    fat::DeepLimits m_limits;
    std::size_t m_lostNodesLeft = fat::kMaxLostFolderNodes;
    unsigned m_sectorSize = 512;
    std::uint64_t m_totalSectors = 0;
    std::map<long long, unsigned>* m_fileSectorMap = nullptr;
    std::vector<std::uint8_t> m_block;
    // The last sector that began like a FAT: a FAT copy cannot begin right after one.
    std::int64_t m_lastFatSector = -2;
    // First FATs of the boot sectors seen, [first, end) by first sector: kept
    // as the scan passes them, with every folder sector, so the trees are
    // built even when the device goes before the end.
    std::map<std::int64_t, std::int64_t> m_keptFats;
    static constexpr std::size_t kMaxKeptFats = 1024;
    CFATFolderAnalyser m_folderAnalyser{512};
};
