#pragma once
// Turns the finds of the searchers into linked trees, one per searcher type,
// and hands them to the application's node sink in batches.
//
// Ownership: a node AddNode accepts (answer 1) belongs to the builder until
// the builder is released; a refused node (answer 0) stays the caller's. Nodes
// that were never shown are freed when their tree is flushed (FlashBuild), and
// whatever is still held when the builder is released is freed with it.
#include "engine/include/SearchInterfaces.h"
#include "engine/tree/FilesystemNode.h"

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class CFileNode;

// Time as the builder sees it: the pause after a tree's root and the
// three-second rhythm of its build passes. Tests give a fake one.
class ITreeBuilderClock {
public:
    virtual ~ITreeBuilderClock() = default;
    virtual long long NowSeconds() = 0;
    virtual void SleepSeconds(unsigned seconds) = 0;
};

// The monotonic system clock with real sleeps.
ITreeBuilderClock* SystemTreeBuilderClock();

// replay is true while a saved scan result is replayed into the builder. The
// clock is borrowed (null: the system clock).
IDirecotryTreeBuilder* CreateTreeBuilder(bool replay, ITreeBuilderClock* clock = nullptr);

class CDirectoryTreeBuilder : public IDirecotryTreeBuilder {
public:
    // Build passes while adding wait for this many nodes or this many seconds.
    static constexpr std::uint32_t kBuildBatchNodes = 1024;
    static constexpr long long kBuildIntervalSeconds = 3;
    // The pause after a tree's root is announced, before its first batch.
    static constexpr unsigned kRootPauseSeconds = 1;

    explicit CDirectoryTreeBuilder(bool replay, ITreeBuilderClock* clock = nullptr);
    ~CDirectoryTreeBuilder() override;
    CDirectoryTreeBuilder(const CDirectoryTreeBuilder&) = delete;
    CDirectoryTreeBuilder& operator=(const CDirectoryTreeBuilder&) = delete;

    int Initialize(const char* volumeName, IDrirectoryTree* sink, IRecoveryFilter* filter) override;
    int AddNode(IFileNode* node, _tagSearcherType type) override;
    int AddSearcherInfo(_tagSearcherType type, long long rootId) override;
    int FlashBuild(_tagSearcherType type) override;
    void Release() override { delete this; }
    // Both are borrowed: they must stay valid until the next FlashBuild has
    // run (recycle-bin index files are read through them).
    void SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) override;

    // Counters of one tree (zero for a type without tree).
    struct TreeStats {
        long long added = 0;            // nodes counted by AddNode
        long long shownWhileAdding = 0; // nodes handed out by passes run while adding
        std::size_t pending = 0;
        std::size_t held = 0; // recycle-bin holdings
        std::optional<long long> trashId;
    };
    TreeStats Stats(_tagSearcherType type) const;
    // Links every child among its siblings in the order it was added (as a
    // replay does), not first. Set before the first node is added.
    void KeepAddedOrder() { m_keepOrder = true; }
    const std::string& VolumeName() const { return m_volumeName; }
    // Nodes the builder owns right now (roots not counted).
    std::size_t OwnedCount() const { return m_owned.size(); }

private:
    // Nodes added and not yet handed out, in the order they came, each once.
    class PendingList {
    public:
        bool Add(CFileNode* node);
        bool Remove(CFileNode* node);
        bool Contains(CFileNode* node) const { return m_index.count(node) != 0; }
        std::vector<CFileNode*> Snapshot() const { return {m_order.begin(), m_order.end()}; }
        std::size_t Size() const { return m_order.size(); }
        bool Empty() const { return m_order.empty(); }
        void Clear();

    private:
        std::list<CFileNode*> m_order;
        std::unordered_map<CFileNode*, std::list<CFileNode*>::iterator> m_index;
    };

    // Every node recorded under one id (the same entry found twice, or reused).
    using NodeMap = std::map<long long, std::vector<CFileNode*>>;
    struct Recorded {
        std::uint64_t order; // when it was recorded
        CFileNode* node;
    };

    struct Tree {
        _tagSearcherType type = SEARCHER_NONE;
        PendingList pending;
        // Pending nodes that passes while adding leave alone, so that a pass
        // costs what changed rather than all that waits. Live files the
        // filter hides, under a live parent (a mounted volume holds nearly
        // nothing else) wait for the flush; nodes whose parent id is not
        // recorded yet wait for a folder of that id. The flush takes all back.
        std::vector<CFileNode*> parked;
        std::map<long long, std::vector<CFileNode*>> waiting;
        NodeMap dirs;
        NodeMap files;
        // The recorded nodes by a hash of what the duplicate test compares
        // (id, parent id, folder or not, name, partition): a duplicate is
        // found without walking every node of its id.
        std::unordered_multimap<std::uint64_t, Recorded> duplicates;
        // FAT folders by (id, parent id), in recording order: the duplicate
        // test lets a later namesake-less twin lend them its properties.
        std::map<std::pair<long long, long long>, std::vector<Recorded>> fatFolderTwins;
        std::uint64_t recordings = 0;
        std::vector<CFileNode*> trashCandidates;
        std::vector<CFileNode*> shown;
        std::unordered_set<const CFileNode*> shownSet;
        std::vector<long long> privateDataIds;
        std::unique_ptr<CFilesystemNode> root;
        long long rootId = 0;
        std::optional<long long> trashId;
        bool trashFound = false;
        bool rootAnnounced = false;
        std::uint32_t addedSinceBuild = 0;
        long long shownWhileAdding = 0;
        long long added = 0;
        long long lastBuild = 0;
        // Recycle-bin holdings, given back when the tree is flushed.
        std::list<CFileNode*> recycledFiles;
        std::list<CFileNode*> recycleFolders;
        std::list<CFileNode*> recycleIndexes;
        std::unordered_set<long long> recycleFolderIds;
    };

    Tree* FindTree(_tagSearcherType type);
    const Tree* FindTree(_tagSearcherType type) const;

    bool IsRecycleBinMember(Tree& tree, CFileNode* node) const;
    void HoldRecycleBinNode(Tree& tree, CFileNode* node);
    void GiveBackRecycleBin(Tree& tree, _tagSearcherType type);

    void DropPendingFoldersInside(Tree& tree, long long privateDataId);
    bool Record(Tree& tree, NodeMap& map, CFileNode* node);
    static void Index(Tree& tree, const Recorded& r);
    static void Unindex(Tree& tree, CFileNode* node);
    static void ForgetRecorded(Tree& tree, CFileNode* node);
    static void MergeNode(CFileNode* recorded, CFileNode* newer);

    CFileNode* GetCorrectParent(const Tree& tree, const std::vector<CFileNode*>& candidates, CFileNode* node) const;
    CFileNode* ChooseParent(const Tree& tree, CFileNode* node) const;
    bool IsInTrash(const Tree& tree, CFileNode* folder) const;
    bool IsUserTrashFolder(const Tree& tree, CFileNode* node) const;
    static bool HasFileBelow(CFileNode* folder);
    static bool IsTrashName(const char* name);

    // One build pass; false when it did not run.
    bool BuildTree(Tree& tree, bool force, std::vector<CFileNode*>& out);
    // How a walk up from a node ended.
    enum class Walk { Done, Hidden, NoParent };
    // Walks up from node linking what can be linked. Hidden and NoParent
    // tell that the walk stopped at node itself: a live file the filter
    // hides, or no parent recorded under its parent id.
    Walk LinkUpward(Tree& tree, CFileNode* node);
    static void Wake(Tree& tree, long long parentId);
    static void WakeAll(Tree& tree);
    // Links child under parent. Keeping the added order (a replay: the order
    // the saved tree held them), a child goes among its siblings in the order
    // it was added; otherwise (and for a node not added) it goes first.
    int Link(CFileNode* parent, CFileNode* child);
    void KeepReplayOrder(CFileNode* node);
    bool ReachesRoot(const Tree& tree, CFileNode* node) const;
    void FlushPasses(Tree& tree);
    void BuildLostNodes(Tree& tree);
    void ReleaseUnshown(Tree& tree);
    void ShowNodes(Tree& tree, std::vector<CFileNode*>& nodes, int lostBatch);
    void ReleaseOwned(CFileNode* node);

    bool m_replay;
    bool m_keepOrder;
    ITreeBuilderClock* m_clock;
    std::vector<std::unique_ptr<Tree>> m_trees;
    IDrirectoryTree* m_sink = nullptr;
    IRecoveryFilter* m_filter = nullptr;
    std::string m_volumeName;
    IStorageDevice* m_device = nullptr;
    CSearchedPartitionInfo* m_partition = nullptr;
    bool m_building = false;
    // Every node the builder owns, so each is freed exactly once.
    std::unordered_set<CFileNode*> m_owned;
    // Keeping the added order: when each node was added, and each folder's
    // last linked child.
    std::unordered_map<const CFileNode*, std::uint64_t> m_replayOrder;
    std::unordered_map<const CFileNode*, CFileNode*> m_lastChild;
    std::uint64_t m_replayAdded = 0;
};
