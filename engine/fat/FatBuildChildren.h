#pragma once
// Turns the directory entries of FAT folders into CFATFileNodes and hands them
// to the tree builder (searcher type 32): live and deleted entries, long
// names, data runs, and on FAT32 the revision of deleted entries whose first
// cluster lost its high 16 bits.
#include "engine/fat/FatBytes.h"
#include "engine/carver/RawFileAnalyserList.h"
#include "engine/include/EngineTypes.h"
#include "engine/include/SearchInterfaces.h"

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

class IFATTable;
class IFileNode;
class CFATFileNode;
class CFATFileProperties;
class CTempFATDirEntry;

namespace fat {
// BuildChildrenFromBuffer's answer when the folder is to be read no further.
inline constexpr std::uint32_t kStopFolder = 0xFFFFFFFF;
// Folder reads: runs of contiguous clusters up to this many sectors, plus
// room for a long-name run carried over from the previous read.
inline constexpr unsigned kFolderReadSectors = 128;
inline constexpr std::size_t kMaxCarryBytes = 1023;
} // namespace fat

using FatFolderQueue = std::deque<IFileNode*>;
using FatVisitedClusters = std::set<std::uint32_t>;
using FatFolderMap = std::map<std::uint32_t, CFATFileNode*>;

// Clusters that may lie in a live file's chain, sorted and unique, each marked
// once a listed live file's runs cover it: a folder-looking cluster there is
// that file's data (an image kept as a file), not a folder of this volume.
struct FatLiveChainWatch {
    std::vector<std::uint32_t> clusters;
    std::vector<std::uint8_t> held; // by index into clusters
    void Mark(IDataRunList& runs);
    bool Held(std::uint32_t cluster) const;
};

// What a children builder needs of its partition.
struct FatBuildGeometry {
    enumFILE_SYSTEM_TYPE kind = FS_FAT16; // FS_FAT12 reads like FS_FAT16
    unsigned sectorSize = 512;
    unsigned sectorsPerCluster = 1;
    // The partition's data clusters (numbers 2 .. count + 1): every first
    // cluster, candidate and run is bounded by them.
    std::uint64_t clusterCount = 0;
    std::uint32_t rootCluster = 0;       // FAT32
    std::uint64_t rootStart = 0;         // FAT12/16 root area, device sector
    std::uint32_t rootSectors = 0;       // FAT12/16 root area
    std::uint64_t firstDataSector = 0;   // device sector of cluster 2
};

class CFATBuildChildren {
public:
    // visited and folders are shared with the owner. The builder, partition
    // and table are borrowed.
    CFATBuildChildren(IDirecotryTreeBuilder* treeBuilder, IProgress* progress, CSearchedPartitionInfo* partition,
                      IStorageDevice* device, FatVisitedClusters& visited, FatFolderMap& folders, IFATTable* fat,
                      const FatBuildGeometry& geometry);
    CFATBuildChildren(const CFATBuildChildren&) = delete;
    CFATBuildChildren& operator=(const CFATBuildChildren&) = delete;

    // false: the FAT32 revision tests a candidate's content; true: it looks
    // the candidate up among the carved files of the file-sector map.
    void SetQuickScan(bool fileSectorMapTest) { m_checkMode = fileSectorMapTest; }
    void SetFileSectorMap(std::map<long long, unsigned>* map) { m_fileSectorMap = map; }
    // When given, deleted folders are not handed to the tree builder at once but
    // collected here (the owner adds and lists them once every live folder is
    // read, so that a stale entry cannot take a live folder's place).
    void SetDeferredDeletedFolders(std::deque<CFATFileNode*>* deferred) { m_deferred = deferred; }
    // When given, the runs of every live file listed mark the watched clusters.
    void SetLiveChainWatch(FatLiveChainWatch* watch) { m_liveChains = watch; }

    // Lists the root folder; 0 when it cannot be read (or doRoot is 0).
    int BuildRoot(FatFolderQueue& queue, int show, int doRoot);
    // Lists one folder's cluster chain; 0 when the folder is rejected (a
    // cluster already read, or a first cluster that is no folder's start).
    int BuildChildren(IFileNode* parent, std::uint32_t firstCluster, FatFolderQueue& queue, int isRoot, int show);
    // Parses the entries of a buffer. Answers the offset from which bytes must
    // be carried into the next read (a pending long-name run), the length when
    // nothing is pending, or fat::kStopFolder. The entries may be rewritten
    // (revised first clusters).
    std::uint32_t BuildChildrenFromBuffer(std::uint8_t* buffer, std::uint32_t length, IFileNode* parent,
                                          FatFolderQueue& queue, int stopOnInvalid, int show);
    IDataRunList* BuildDataRunList(std::uint64_t firstCluster, std::uint64_t size, bool deleted);
    // 0 for a cluster below 2.
    std::uint64_t ConvertClusterNumToSector(std::uint64_t cluster) const;

    // Nodes the tree builder has taken from this builder so far.
    std::size_t AddedNodes() const { return m_added; }

    bool ReviseEnabled() const { return m_revise; }
    // The FAT32 revision's carry hint: the cluster just past the last deleted
    // or high-cluster file.
    std::uint64_t PreReadCluster() const { return m_preRead; }

    // The revision's tests, public for the tests of this class.
    bool bEffectiveDIRFDT(std::uint64_t cluster);
    // true rejects the cluster as a deleted file's start.
    bool bReviseFAT32FileFirstClu(std::uint64_t cluster, bool acceptHigh);
    std::uint64_t TryGetRealFirstNum(std::uint64_t candidate, bool& found, unsigned tries, bool isFolder);
    static bool bWindowsPEFiles(fat::Bytes sector);

    static bool IsBeginWithDot(const char* name) { return name && name[0] == '.'; }
    // Registers node under its first cluster. When the cluster is taken, the
    // node there gives way only if its name is a dotted one (a folder's "."
    // or ".." entry pointing at it) and the new node's is not. 1 when the
    // cluster was already taken, else 0.
    static int bContainFileNode(FatFolderMap& map, CFATFileNode* node);
    void SetRememberedExtension(const std::string& ext) { m_extension = ext; }

private:
    struct Carry {
        std::uint64_t R = 0; // the carry cluster: just past the previous entry's clusters
        std::uint64_t H = 0; // the hint: the folder's own first cluster
        bool lostParent = false;
    };
    // Parses the entries of one read of a folder. highKept says whether an
    // earlier deleted entry of the folder kept a non-zero high word; it is
    // carried from one read of a folder to the next.
    std::uint32_t ParseEntries(std::uint8_t* buffer, std::uint32_t length, IFileNode* parent, FatFolderQueue& queue,
                               int stopOnInvalid, bool& highKept);
    // Parses a read of `sectors` sectors at buffer + carry (carry bytes of the
    // previous read before them) around the sectors bad marks unreadable:
    // each readable stretch on its own, so a lost sector ends no folder and
    // its zeros are not read as the folder's end. Answers as ParseEntries,
    // offsets from buffer; a read ending in an unreadable sector carries
    // nothing.
    std::uint32_t ParseAround(std::uint8_t* buffer, std::size_t carry, std::size_t sectors,
                              const std::vector<bool>& bad, IFileNode* parent, FatFolderQueue& queue,
                              int stopOnInvalid, bool& highKept);
    bool IsLimitCluster(std::uint64_t c) const { return c >= 2 && c < m_geo.clusterCount + 2; }
    void ReverseDelFileFirstNum(CTempFATDirEntry& entry, Carry& carry, CFATFileProperties& props, bool highKept);
    // The entry's own (low-word) cluster when it is free and the revision's
    // guess lies in a live file, or is free too in a folder whose deleter
    // keeps high words (highKept); else the guess.
    std::uint64_t KeepFreeLowWord(std::uint64_t low, std::uint64_t guess, bool highKept);
    // Given to a file by the table (or no cluster of the partition).
    bool InUse(std::uint64_t cluster);
    void bInDelFileOrDIRMap(std::uint64_t& cluster, CTempFATDirEntry& entry, CFATFileProperties& props, bool& found,
                            bool isFolder);
    bool ReadClusterSector(std::uint64_t cluster);
    void IniRawDllValue();

    IDirecotryTreeBuilder* m_builder;
    IProgress* m_progress;
    CSearchedPartitionInfo* m_partition;
    IStorageDevice* m_device;
    FatVisitedClusters& m_visited;
    FatFolderMap& m_folders;
    IFATTable* m_fat;
    FatBuildGeometry m_geo;
    std::map<long long, unsigned>* m_fileSectorMap = nullptr;
    bool m_checkMode = false;
    std::deque<CFATFileNode*>* m_deferred = nullptr;
    FatLiveChainWatch* m_liveChains = nullptr;
    std::string m_extension;
    bool m_revise = false;
    std::uint64_t m_preRead = 0;
    std::size_t m_added = 0;
    std::vector<std::uint8_t> m_sector; // one sector for the revision tests
    bool m_analysersCopied = false;
    std::list<IRawFileAnalyser*> m_analyserList;
    std::map<unsigned, IRawFileAnalyser*> m_analyserMap;
    std::multimap<unsigned short, IRawFileAnalyser*> m_analyserMultimap;
    std::map<std::uint64_t, std::string> m_folderNames;
    std::map<std::uint64_t, std::string> m_deletedNames;
};
