#pragma once
// One APFS container (or one lone volume) found by the deep scan. The reader
// walks the object maps of the newest checkpoint and of up to 31 older ones,
// visits every node they map, and turns the records of the file-system-tree
// nodes among them into APFSFileNode objects. Tree nodes met later in the scan
// that no object map reached are older copies of nodes (copy-on-write leaves
// them behind); their records are read the same way and make deleted nodes.
//
// Every file met many times (in several checkpoints, in stale copies, as an
// inode, a directory record and extents) is matched against the nodes already
// made with its object id before a new node is made.
#include "engine/apfs/ApfsObjects.h"

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

namespace apfs {

class APFSFileNode;
class APFSContainerReader;

// How a reader talks to the searcher that owns it.
class APFSDelegate {
public:
    virtual ~APFSDelegate() = default;
    virtual bool IsContinue() = 0;
    // Hands a node to the tree builder once; answers whether the builder took it.
    virtual int AddFileNode(APFSFileNode* node) = 0;
    // Reads byteCount bytes at 4096-byte block `block` from the reader's start
    // (from sector 0 with no reader) into buffer; non-zero on success.
    virtual int ReadBlocks(APFSContainerReader* reader, std::uint64_t block, int byteCount, std::uint8_t* buffer) = 0;
};

class APFSContainerReader {
public:
    // Checkpoints the walk follows back from the newest.
    static constexpr int kMaxCheckpoints = 32;
    static constexpr std::uint32_t kMaxNodeKeys = 1023;
    static constexpr std::uint32_t kMaxOmapEntries = 1024;

    APFSContainerReader(APFSDelegate* delegate, std::uint32_t containerIndex, std::uint64_t startSector);
    ~APFSContainerReader();
    APFSContainerReader(const APFSContainerReader&) = delete;
    APFSContainerReader& operator=(const APFSContainerReader&) = delete;

    // Taken only when at least 512.
    void SetSectorSize(std::uint32_t sectorSize);
    // 0 done, -1 block 0 unreadable, -2 a superblock that fails its checks.
    int ReadContainer();
    // A volume without its container, from the volume superblock at block
    // (counted from sector 0); deviceSectors bounds what its maps may reach.
    int ReadLoneVolume(std::uint64_t block, std::uint64_t deviceSectors);
    // Delivers the pending nodes that are now complete; reference is the
    // device block reached by the scan, or -1 at the end (then every node
    // with a name, and for a file a creation time, goes).
    void FlushPendingNodes(long long reference);
    // Offers a block of the scan that is neither a superblock it claimed nor
    // a block of the live maps: an old copy of a file-system-tree node.
    void AnalyzeStaleNode(std::uint64_t sector, std::uint64_t block, Block data);

    void SetHistory() { m_history = true; }
    bool History() const { return m_history; }
    std::uint32_t ContainerIndex() const { return m_index; }
    std::uint64_t StartSector() const { return m_startSector; }
    std::uint64_t RangeSectors() const { return m_rangeSectors; }
    std::uint64_t BlockCount() const { return m_blockCount; }
    std::uint32_t SectorSize() const { return m_sectorSize; }
    const std::array<std::uint8_t, 16>& Uuid() const { return m_uuid; }
    const std::string& VolumeFolderName() const { return m_volumeFolder; }

    // Tests and diagnostics.
    int ObjectMapsRead() const { return m_omapsRead; }
    const std::unordered_set<std::uint64_t>& VisitedNodes() const { return m_visited; }
    std::size_t NodeCount() const { return m_files.size() + m_dirs.size(); }
    std::size_t PendingCount() const { return m_pending.size(); }
    // The node-handling step alone (records of one fs-tree node at a block).
    void HandleNode(Block node, std::uint64_t currentBlock);
    // The object-map walk alone, from one tree root (fuzzing).
    void WalkObjectMap(std::uint64_t root);

private:
    using NodeMap = std::multimap<std::uint64_t, APFSFileNode*>;
    struct PendingOrder {
        bool operator()(const APFSFileNode* a, const APFSFileNode* b) const;
    };
    // What one record brings to the matching.
    struct Record {
        std::uint64_t id = 0;
        long long parent = -1;
        std::string name; // after the naming rules
        std::uint64_t date = 0;
        bool directory = false;
        bool extent = false;
    };

    bool Read(std::uint64_t block);
    Block Buffer() const { return {m_buffer.data(), kBlockSize}; }
    // Whether a block address lies inside what this reader may read.
    bool InRange(std::uint64_t block) const { return block != 0 && block < m_addressLimit; }
    void ReadVolume(std::uint64_t volumeBlock);
    void QueueOmapChildren(Block node, std::vector<std::uint64_t>& queue);

    void HandleExtent(const NodeEntry& e, std::uint64_t current);
    void HandleInode(const NodeEntry& e, std::uint64_t current);
    void HandleDirRecord(const NodeEntry& e, std::uint64_t current);
    APFSFileNode* MatchOrMake(const Record& r, std::uint64_t current);
    APFSFileNode* Make(const Record& r, std::uint64_t current, bool idTaken, APFSFileNode* last);
    // Links node under the nearest folder of id parent, or just names the parent.
    void LinkToFolder(APFSFileNode* node, long long parent, long long reference);
    void Deliver(APFSFileNode* node);
    std::uint64_t Composite(std::uint64_t id) const { return id | (std::uint64_t{m_index} << 32); }

    APFSDelegate* m_delegate;
    std::uint32_t m_blockSize = kBlockSize;
    std::uint32_t m_sectorSize = 512;
    std::uint32_t m_index;
    std::vector<std::uint8_t> m_buffer;
    std::uint64_t m_startSector;
    std::uint64_t m_startBlock = 0;
    std::uint64_t m_blockCount = 0;
    std::uint64_t m_rangeSectors = 0;
    // Addresses at or past this are not read: a neighbour's blocks would file
    // its files under this container.
    std::uint64_t m_addressLimit = 0;
    std::string m_volumeFolder;
    bool m_history = false;
    std::array<std::uint8_t, 16> m_uuid{};
    NodeMap m_files, m_dirs;
    std::set<APFSFileNode*, PendingOrder> m_pending;
    std::unordered_set<std::uint64_t> m_visited;
    std::uint64_t m_made = 0;
    int m_omapsRead = 0;
};

} // namespace apfs
