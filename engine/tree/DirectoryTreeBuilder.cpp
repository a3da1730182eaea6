#include "engine/tree/DirectoryTreeBuilder.h"

#include "engine/common/FileNode.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/tree/RecyclerFilter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

namespace {

// Parent walks by id or by link stop here: a longer chain is a loop or damage.
constexpr int kMaxWalk = 1 << 16;

class SystemClock : public ITreeBuilderClock {
public:
    long long NowSeconds() override {
        using namespace std::chrono;
        return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
    }
    void SleepSeconds(unsigned s) override { std::this_thread::sleep_for(std::chrono::seconds(s)); }
};

const char* NameOf(IFileNode* node) {
    const char* n = node ? node->GetFileName() : nullptr;
    return n ? n : "";
}

} // namespace

ITreeBuilderClock* SystemTreeBuilderClock() {
    static SystemClock clock;
    return &clock;
}

IDirecotryTreeBuilder* CreateTreeBuilder(bool replay, ITreeBuilderClock* clock) {
    return new CDirectoryTreeBuilder(replay, clock);
}

// ---- pending list ----------------------------------------------------------

bool CDirectoryTreeBuilder::PendingList::Add(CFileNode* node) {
    if (!node || m_index.count(node)) return false;
    m_order.push_back(node);
    m_index.emplace(node, std::prev(m_order.end()));
    return true;
}

bool CDirectoryTreeBuilder::PendingList::Remove(CFileNode* node) {
    auto it = m_index.find(node);
    if (it == m_index.end()) return false;
    m_order.erase(it->second);
    m_index.erase(it);
    return true;
}

void CDirectoryTreeBuilder::PendingList::Clear() {
    m_order.clear();
    m_index.clear();
}

// ---- life -----------------------------------------------------------------

CDirectoryTreeBuilder::CDirectoryTreeBuilder(bool replay, ITreeBuilderClock* clock)
    : m_replay(replay), m_keepOrder(replay), m_clock(clock ? clock : SystemTreeBuilderClock()) {}

CDirectoryTreeBuilder::~CDirectoryTreeBuilder() {
    // Node destructors touch no other node, so the order does not matter.
    for (CFileNode* node : m_owned) node->Release();
    m_owned.clear();
    m_trees.clear();
}

int CDirectoryTreeBuilder::Initialize(const char* volumeName, IDrirectoryTree* sink, IRecoveryFilter* filter) {
    if (!volumeName || !sink || !filter) return 0;
    m_volumeName = *volumeName ? volumeName : "Disk";
    m_sink = sink;
    m_filter = filter;
    m_building = false;
    return 1;
}

void CDirectoryTreeBuilder::SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) {
    m_partition = partition;
    m_device = device;
}

CDirectoryTreeBuilder::Tree* CDirectoryTreeBuilder::FindTree(_tagSearcherType type) {
    for (auto& t : m_trees)
        if (t->type == type) return t.get();
    return nullptr;
}

const CDirectoryTreeBuilder::Tree* CDirectoryTreeBuilder::FindTree(_tagSearcherType type) const {
    for (const auto& t : m_trees)
        if (t->type == type) return t.get();
    return nullptr;
}

CDirectoryTreeBuilder::TreeStats CDirectoryTreeBuilder::Stats(_tagSearcherType type) const {
    TreeStats s;
    if (const Tree* t = FindTree(type)) {
        s.added = t->added;
        s.shownWhileAdding = t->shownWhileAdding;
        s.pending = t->pending.Size() + t->parked.size();
        for (const auto& [id, nodes] : t->waiting) s.pending += nodes.size();
        s.held = t->recycledFiles.size() + t->recycleFolders.size() + t->recycleIndexes.size();
        s.trashId = t->trashId;
    }
    return s;
}

int CDirectoryTreeBuilder::AddSearcherInfo(_tagSearcherType type, long long rootId) {
    if (Tree* t = FindTree(type)) {
        t->rootId = rootId;
        t->root->SetNodeID(rootId);
        Wake(*t, rootId);
        return 1;
    }
    auto t = std::make_unique<Tree>();
    t->type = type;
    t->rootId = rootId;
    t->root = std::make_unique<CFilesystemNode>(type, m_volumeName + SearcherRootSuffix(type), m_volumeName, rootId);
    t->lastBuild = m_clock->NowSeconds();
    m_trees.push_back(std::move(t));
    return 1;
}

void CDirectoryTreeBuilder::ReleaseOwned(CFileNode* node) {
    if (!node || !m_owned.erase(node)) return;
    m_replayOrder.erase(node);
    m_lastChild.erase(node);
    node->Release();
}

// ---- adding ---------------------------------------------------------------

bool CDirectoryTreeBuilder::IsTrashName(const char* name) {
    return name && (std::strcmp(name, ".Trashes") == 0 || std::strcmp(name, ".Trash") == 0);
}

int CDirectoryTreeBuilder::AddNode(IFileNode* inode, _tagSearcherType type) {
    if (!inode || !m_filter) return 0;
    auto* node = dynamic_cast<CFileNode*>(inode);
    if (!node) return 0; // only the node model can be linked
    // A node handed in twice is already ours: refusing it would make the
    // caller free what the builder holds.
    if (m_owned.count(node)) return 1;
    if (!m_filter->IsFileNodeValid(node)) return 0;
    if (node->GetCurrentNodeID() == node->GetParentNodeID()) return 0;
    Tree* tree = FindTree(type);
    if (!tree) return 0;

    if (!m_building && IsRecycleBinMember(*tree, node)) {
        node->MarkDeleted();
        HoldRecycleBinNode(*tree, node);
        return 1;
    }

    ++tree->added;
    ++tree->addedSinceBuild;
    const long long id = node->GetCurrentNodeID();
    const long long parentId = node->GetParentNodeID();
    const char* name = NameOf(node);
    const bool isDir = node->IsDirectory() != 0;

    if (!m_replay && tree->privateDataIds.empty() && type == SEARCHER_HFSPLUS &&
        std::strcmp(name, "HFS+ Private Data") == 0 && parentId == tree->rootId) {
        tree->privateDataIds.push_back(id);
        DropPendingFoldersInside(*tree, id);
        return 0;
    }

    bool trashCandidate = false;
    if (!tree->trashFound && isDir && IsTrashName(name)) {
        if (parentId == tree->rootId || IsUserTrashFolder(*tree, node)) {
            tree->trashId = id;
            node->MarkDeleted();
        } else {
            trashCandidate = true;
        }
    }

    // A folder's own "." and ".." entries are links, not finds; every other
    // name is kept as it was, leading dots and all (.bashrc, .fseventsd).
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return 0;

    if (isDir) {
        if (!tree->privateDataIds.empty() && parentId == tree->privateDataIds.front()) return 0;
        if (!Record(*tree, tree->dirs, node)) return 0;
        if (trashCandidate) tree->trashCandidates.push_back(node);
        Wake(*tree, id);
    } else {
        if (!Record(*tree, tree->files, node)) return 0;
    }

    m_owned.insert(node);
    KeepReplayOrder(node);
    tree->pending.Add(node);
    std::vector<CFileNode*> out;
    if (BuildTree(*tree, false, out) && !out.empty()) {
        tree->shownWhileAdding += static_cast<long long>(out.size());
        ShowNodes(*tree, out, 0);
    }
    return 1;
}

namespace {
// A hash of what makes two nodes duplicates: equal nodes always share it.
std::uint64_t DuplicateKey(CFileNode* node) {
    std::uint64_t h = std::hash<std::string_view>{}(NameOf(node));
    auto mix = [&h](std::uint64_t v) { h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2); };
    const bool dir = node->IsDirectory() != 0;
    mix(static_cast<std::uint64_t>(node->GetCurrentNodeID()));
    mix(static_cast<std::uint64_t>(node->GetParentNodeID()));
    mix(dir);
    // Folders are equal by name alone, HFS+ files by creation time and size.
    mix(dir || node->GetSearcheType() == SEARCHER_HFSPLUS ? 0 : node->GetBelongedPartition() + 1u);
    return h;
}
bool IsFatFolder(CFileNode* node) { return node->GetSearcheType() == SEARCHER_FAT && node->IsDirectory(); }
} // namespace

void CDirectoryTreeBuilder::Index(Tree& tree, const Recorded& r) { tree.duplicates.emplace(DuplicateKey(r.node), r); }

void CDirectoryTreeBuilder::Unindex(Tree& tree, CFileNode* node) {
    const auto range = tree.duplicates.equal_range(DuplicateKey(node));
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.node != node) continue;
        tree.duplicates.erase(it);
        return;
    }
}

void CDirectoryTreeBuilder::ForgetRecorded(Tree& tree, CFileNode* node) {
    Unindex(tree, node);
    if (!IsFatFolder(node)) return;
    auto twins = tree.fatFolderTwins.find({node->GetCurrentNodeID(), node->GetParentNodeID()});
    if (twins == tree.fatFolderTwins.end()) return;
    std::erase_if(twins->second, [node](const Recorded& r) { return r.node == node; });
    if (twins->second.empty()) tree.fatFolderTwins.erase(twins);
}

// The nodes of an id are compared with the new one in recording order, and
// the first equal one drops it. The index finds that one directly; the FAT
// folders recorded before it under the same parent still meet the new node,
// since the duplicate test may hand them its properties (and so its name).
bool CDirectoryTreeBuilder::Record(Tree& tree, NodeMap& map, CFileNode* node) {
    auto& recorded = map[node->GetCurrentNodeID()];
    const Recorded self{tree.recordings++, node};
    if (!m_replay) {
        const Recorded* equal = nullptr;
        const auto range = tree.duplicates.equal_range(DuplicateKey(node));
        for (auto it = range.first; it != range.second; ++it)
            if ((!equal || it->second.order < equal->order) && *it->second.node == *node) equal = &it->second;
        const std::uint64_t before = equal ? equal->order : self.order;
        CFileNode* const same = equal ? equal->node : nullptr;
        if (node->IsDirectory()) {
            auto twins = tree.fatFolderTwins.find({node->GetCurrentNodeID(), node->GetParentNodeID()});
            if (twins != tree.fatFolderTwins.end()) {
                for (const Recorded& twin : twins->second) {
                    if (twin.order >= before) break;
                    if (std::strcmp(NameOf(twin.node), NameOf(node)) == 0) continue;
                    Unindex(tree, twin.node);
                    (void)(*twin.node == *node);
                    Index(tree, twin);
                }
            }
        }
        if (same) {
            if (node->GetFileSize() != 0 &&
                same->GetModificationTime().Value() > node->GetModificationTime().Value())
                MergeNode(same, node);
            return false;
        }
    }
    recorded.push_back(node);
    if (m_replay) return true;
    Index(tree, self);
    if (IsFatFolder(node)) tree.fatFolderTwins[{node->GetCurrentNodeID(), node->GetParentNodeID()}].push_back(self);
    return true;
}

void CDirectoryTreeBuilder::MergeNode(CFileNode* recorded, CFileNode* newer) {
    // The newer node goes back to its searcher, which releases it with its
    // runs: the recorded node keeps a copy of them.
    IDataRunList* runs = newer->GetDataRunList();
    recorded->SetDataRunList(runs ? runs->Clone() : nullptr);
    recorded->UpdateFileSize(newer->GetFileSize());
}

void CDirectoryTreeBuilder::DropPendingFoldersInside(Tree& tree, long long privateDataId) {
    Wake(tree, privateDataId);
    for (CFileNode* node : tree.pending.Snapshot()) {
        if (!node->IsDirectory() || node->GetParentNodeID() != privateDataId) continue;
        if (tree.shownSet.count(node)) continue;
        // Forget it everywhere it is held before it is freed.
        tree.pending.Remove(node);
        ForgetRecorded(tree, node);
        auto it = tree.dirs.find(node->GetCurrentNodeID());
        if (it != tree.dirs.end()) {
            std::erase(it->second, node);
            if (it->second.empty()) tree.dirs.erase(it);
        }
        std::erase(tree.trashCandidates, node);
        if (CFileNode* parent = node->GetParentNode()) parent->RemoveChild(node);
        while (CFileNode* child = node->FirstChildNode()) node->RemoveChild(child);
        ReleaseOwned(node);
    }
}

// ---- recycle bins ---------------------------------------------------------

bool CDirectoryTreeBuilder::IsRecycleBinMember(Tree& tree, CFileNode* node) const {
    const char* name = NameOf(node);
    return CRecyclerFilter::IsInRecycleBin(node) || CRecyclerFilter::IsIndexName(name) ||
           CRecyclerFilter::IsRecycledDataName(name) || tree.recycleFolderIds.count(node->GetParentNodeID());
}

void CDirectoryTreeBuilder::HoldRecycleBinNode(Tree& tree, CFileNode* node) {
    m_owned.insert(node);
    KeepReplayOrder(node);
    if (node->IsDirectory()) {
        tree.recycleFolders.push_back(node);
        tree.recycleFolderIds.insert(node->GetCurrentNodeID());
    } else if (std::strncmp(NameOf(node), "$I", 2) == 0) {
        tree.recycleIndexes.push_back(node);
    } else {
        tree.recycledFiles.push_back(node);
    }
}

void CDirectoryTreeBuilder::GiveBackRecycleBin(Tree& tree, _tagSearcherType type) {
    for (auto* list : {&tree.recycleFolders, &tree.recycledFiles}) {
        std::list<CFileNode*> held;
        held.swap(*list);
        for (CFileNode* node : held) {
            // Out of the holding and back in as a new find.
            m_owned.erase(node);
            ReleaseOwned(CRecyclerFilter::RestorFileName(node, tree.recycleIndexes, type, m_device, m_partition));
            if (AddNode(node, type)) continue;
            m_replayOrder.erase(node);
            node->Release();
        }
    }
    tree.recycleFolderIds.clear();
    // Index files are only read for names, never shown.
    for (CFileNode* index : tree.recycleIndexes) ReleaseOwned(index);
    tree.recycleIndexes.clear();
}

// ---- parents --------------------------------------------------------------

bool CDirectoryTreeBuilder::IsInTrash(const Tree& tree, CFileNode* folder) const {
    if (!tree.trashId) return false;
    CFileNode* n = folder;
    for (int i = 0; n && i < kMaxWalk; ++i, n = n->GetParentNode())
        if (n->GetCurrentNodeID() == *tree.trashId) return true;
    return false;
}

CFileNode* CDirectoryTreeBuilder::GetCorrectParent(const Tree& tree, const std::vector<CFileNode*>& candidates,
                                                   CFileNode* node) const {
    if (candidates.empty()) return nullptr;
    if (candidates.size() == 1) return candidates.front();
    for (CFileNode* c : candidates) {
        if (!c->IsDirectory()) continue;
        if (c->FirstChildNode()) return c;
        if (c->GetBelongedPartition() != node->GetBelongedPartition()) continue;
        if (IsInTrash(tree, c) && !c->IsDeleted()) return c;
    }
    return candidates.front();
}

CFileNode* CDirectoryTreeBuilder::ChooseParent(const Tree& tree, CFileNode* node) const {
    if (node->GetParentNodeID() == tree.rootId) return tree.root.get();
    auto it = tree.dirs.find(node->GetParentNodeID());
    if (it == tree.dirs.end()) return nullptr;
    return GetCorrectParent(tree, it->second, node);
}

bool CDirectoryTreeBuilder::IsUserTrashFolder(const Tree& tree, CFileNode* node) const {
    const char* home = std::getenv("HOME");
    if (!home || !node) return false;
    std::string want = home;
    if (want.empty() || want.back() != '/') want += '/';

    std::vector<std::string> names;
    std::unordered_set<CFileNode*> seen{node};
    CFileNode* cur = node;
    while (cur->GetParentNodeID() != tree.rootId) {
        CFileNode* parent = ChooseParent(tree, cur);
        // A missing ancestor, or ids that lead round in a circle.
        if (!parent || !seen.insert(parent).second || names.size() >= static_cast<std::size_t>(kMaxWalk))
            return false;
        names.emplace_back(NameOf(parent));
        cur = parent;
    }
    std::string location = "/";
    for (auto it = names.rbegin(); it != names.rend(); ++it) location += *it + "/";
    return location == want;
}

bool CDirectoryTreeBuilder::HasFileBelow(CFileNode* folder) {
    // Linked children form a tree (linking refuses loops), so a plain
    // depth-first search ends; it stops at the first file.
    std::vector<CFileNode*> stack;
    for (CFileNode* c = folder->FirstChildNode(); c; c = c->NextNode()) stack.push_back(c);
    while (!stack.empty()) {
        CFileNode* n = stack.back();
        stack.pop_back();
        if (!n->IsDirectory()) return true;
        for (CFileNode* c = n->FirstChildNode(); c; c = c->NextNode()) stack.push_back(c);
    }
    return false;
}

// ---- build passes ---------------------------------------------------------

CDirectoryTreeBuilder::Walk CDirectoryTreeBuilder::LinkUpward(Tree& tree, CFileNode* node) {
    CFileNode* cur = node;
    for (int step = 0; step < kMaxWalk; ++step) {
        CFileNode* parent = ChooseParent(tree, cur);
        if (!parent) return cur == node ? Walk::NoParent : Walk::Done;
        if (parent->IsDeleted() && !cur->IsDeleted()) cur->MarkDeleted();
        if (tree.type != SEARCHER_APFS) {
            if (cur->IsDirectory() && !HasFileBelow(cur)) return Walk::Done;
            if (!cur->IsDirectory() && !cur->IsDeleted() && !m_filter->ShowNormalFiles())
                return cur == node ? Walk::Hidden : Walk::Done;
        }
        // Refused when it would close a loop of ids: the walk ends here.
        if (!Link(parent, cur)) return Walk::Done;
        if (parent->GetParentNode() || parent == tree.root.get()) return Walk::Done;
        cur = parent;
    }
    return Walk::Done;
}

void CDirectoryTreeBuilder::KeepReplayOrder(CFileNode* node) {
    // A node a recycle bin held keeps the place it was added at.
    if (m_keepOrder) m_replayOrder.emplace(node, m_replayAdded++);
}

int CDirectoryTreeBuilder::Link(CFileNode* parent, CFileNode* child) {
    const auto order = [this](const CFileNode* n) -> std::optional<std::uint64_t> {
        const auto it = m_replayOrder.find(n);
        if (it == m_replayOrder.end()) return std::nullopt;
        return it->second;
    };
    const std::optional<std::uint64_t> mine = m_keepOrder ? order(child) : std::nullopt;
    if (!mine) return parent->AddChild(child);
    // Children are linked as their folders come to hold files, not in the
    // order they were added; the numbers a recovery gives to files of one
    // name follow the sibling order, so it must be the saved one. Most
    // children come in order and go last; the others are placed by a walk.
    CFileNode* after = nullptr;
    const auto last = m_lastChild.find(parent);
    CFileNode* tail = last == m_lastChild.end() ? nullptr : last->second;
    if (tail && m_owned.count(tail) && tail->GetParentNode() == parent && !tail->NextNode() &&
        order(tail).value_or(0) < *mine) {
        after = tail;
    } else {
        for (CFileNode* c = parent->FirstChildNode(); c; c = c->NextNode()) {
            const std::optional<std::uint64_t> theirs = order(c);
            if (theirs && *theirs > *mine) break;
            after = c;
        }
    }
    if (!parent->AddChildAfter(after, child)) return 0;
    if (!child->NextNode()) m_lastChild[parent] = child;
    return 1;
}

void CDirectoryTreeBuilder::Wake(Tree& tree, long long parentId) {
    auto it = tree.waiting.find(parentId);
    if (it == tree.waiting.end()) return;
    for (CFileNode* n : it->second) tree.pending.Add(n);
    tree.waiting.erase(it);
}

void CDirectoryTreeBuilder::WakeAll(Tree& tree) {
    for (auto& [id, nodes] : tree.waiting)
        for (CFileNode* n : nodes) tree.pending.Add(n);
    tree.waiting.clear();
    for (CFileNode* n : tree.parked) tree.pending.Add(n);
    tree.parked.clear();
}

bool CDirectoryTreeBuilder::ReachesRoot(const Tree& tree, CFileNode* node) const {
    CFileNode* n = node;
    for (int i = 0; n && i < kMaxWalk; ++i, n = n->GetParentNode())
        if (n == tree.root.get()) return true;
    return false;
}

bool CDirectoryTreeBuilder::BuildTree(Tree& tree, bool force, std::vector<CFileNode*>& out) {
    const long long now = m_clock->NowSeconds();
    if (!force) {
        if (tree.addedSinceBuild < kBuildBatchNodes && now - tree.lastBuild < kBuildIntervalSeconds) return false;
        if (tree.type == SEARCHER_HFSPLUS && tree.privateDataIds.empty()) return false;
    }
    tree.addedSinceBuild = 0;
    tree.lastBuild = now;
    if (tree.pending.Empty()) return true;

    const std::vector<CFileNode*> pending = tree.pending.Snapshot();
    for (CFileNode* node : pending) {
        if (node->GetParentNode()) continue;
        const Walk walk = LinkUpward(tree, node);
        if (force || walk == Walk::Done) continue;
        tree.pending.Remove(node);
        if (walk == Walk::Hidden)
            tree.parked.push_back(node);
        else
            tree.waiting[node->GetParentNodeID()].push_back(node);
    }
    // Readiness is judged after every link of the pass, so a folder that
    // came before its first file leaves together with it.
    for (CFileNode* node : pending) {
        if (node->GetParentNode() && ReachesRoot(tree, node)) {
            tree.pending.Remove(node);
            out.push_back(node);
        }
    }
    return true;
}

void CDirectoryTreeBuilder::FlushPasses(Tree& tree) {
    for (;;) {
        std::vector<CFileNode*> out;
        BuildTree(tree, true, out);
        if (out.empty()) return;
        ShowNodes(tree, out, 0);
    }
}

void CDirectoryTreeBuilder::ShowNodes(Tree& tree, std::vector<CFileNode*>& nodes, int lostBatch) {
    if (nodes.empty()) return;
    // Handed out means kept until the builder goes, sink or not.
    for (CFileNode* n : nodes)
        if (tree.shownSet.insert(n).second) tree.shown.push_back(n);
    if (!m_sink) return;
    if (!tree.rootAnnounced) {
        tree.rootAnnounced = true;
        m_sink->ShowFilesystemNode(tree.root.get());
        m_clock->SleepSeconds(kRootPauseSeconds);
    }
    std::vector<IFileNode*> batch(nodes.begin(), nodes.end());
    m_sink->ShowNodes(batch.data(), static_cast<unsigned>(batch.size()), lostBatch);
}

// ---- flushing a tree ------------------------------------------------------

void CDirectoryTreeBuilder::BuildLostNodes(Tree& tree) {
    std::printf("CDirectoryTreeBuilder::BuildLostNodes entry\n");
    auto lost = std::make_unique<CFilesystemNode>(tree.type, "Other lost files", "LostFiles", -1);
    lost->SetParentNodeID(tree.rootId);

    // Whether the parentless top of a chain goes to the lost folder; what
    // hangs below a top that stays behind stays behind with it.
    std::unordered_map<CFileNode*, bool> topTaken;
    auto takeTop = [&](CFileNode* top) {
        auto it = topTaken.find(top);
        if (it != topTaken.end()) return it->second;
        bool take = tree.pending.Contains(top);
        if (take) {
            if (top->IsDirectory())
                take = HasFileBelow(top);
            else
                take = top->GetFileSize() != 0 && (top->IsDeleted() || m_filter->ShowNormalFiles());
        }
        if (take) Link(lost.get(), top);
        topTaken.emplace(top, take);
        return take;
    };

    std::vector<CFileNode*> batch;
    for (CFileNode* node : tree.pending.Snapshot()) {
        CFileNode* top = node;
        for (int i = 0; top->GetParentNode() && i < kMaxWalk; ++i) top = top->GetParentNode();
        if (top == tree.root.get() || top == lost.get() || takeTop(top)) {
            tree.pending.Remove(node);
            batch.push_back(node);
        }
    }
    std::printf("CDirectoryTreeBuilder BuildLostNodes nodsNotify.size() = %ld.\n", static_cast<long>(batch.size()));
    if (batch.empty()) return; // the lost folder is freed unused

    CFileNode* folder = lost.release();
    m_owned.insert(folder);
    tree.root->AddChild(folder);
    batch.push_back(folder);
    ShowNodes(tree, batch, 1);
}

void CDirectoryTreeBuilder::ReleaseUnshown(Tree& tree) {
    int released = 0;
    for (NodeMap* map : {&tree.files, &tree.dirs}) {
        for (auto& [id, nodes] : *map) {
            for (CFileNode* n : nodes) {
                if (tree.shownSet.count(n) || !m_owned.count(n)) continue;
                // Children left linked to it are unshown too and go with it.
                ReleaseOwned(n);
                ++released;
            }
        }
        map->clear();
    }
    tree.duplicates.clear();
    tree.fatFolderTwins.clear();
    tree.trashCandidates.clear();
    std::printf("CDirectoryTreeBuilder::ReleaseNodeByFilter --- nReleasedCount = %d\n", released);
}

int CDirectoryTreeBuilder::FlashBuild(_tagSearcherType type) {
    Tree* tree = FindTree(type);
    if (!tree) return 0;
    m_building = true;

    WakeAll(*tree);
    GiveBackRecycleBin(*tree, type);
    FlushPasses(*tree);

    if (tree->root) {
        if (!tree->trashId) {
            for (CFileNode* c : tree->trashCandidates) {
                if (!IsUserTrashFolder(*tree, c)) continue;
                tree->trashId = c->GetCurrentNodeID();
                c->MarkDeleted();
                break;
            }
        }
        tree->trashFound = true;
        for (auto& [id, nodes] : tree->files)
            if (!nodes.empty() && !nodes.front()->GetParentNode() && !tree->shownSet.count(nodes.front()))
                tree->pending.Add(nodes.front());
        // Deletion spreads down one level per round; each round marks at least
        // one more node or ends, so the rounds are bounded by the pending count.
        const std::size_t maxRounds = tree->pending.Size() + 1;
        for (std::size_t round = 0; round < maxRounds; ++round) {
            bool marked = false;
            for (CFileNode* n : tree->pending.Snapshot()) {
                if (n->IsDeleted()) continue;
                CFileNode* parent = ChooseParent(*tree, n);
                if (!parent || !parent->IsDeleted()) continue;
                n->MarkDeleted();
                marked = marked || n->IsDeleted();
            }
            if (!marked) break;
        }
    }

    FlushPasses(*tree);
    BuildLostNodes(*tree);
    tree->pending.Clear();
    ReleaseUnshown(*tree);

    std::printf("CDirectoryTreeBuilder::FlashBuild  searcherType : %d, total files: %lld\n", static_cast<int>(type),
                tree->shownWhileAdding);
    std::printf("CDirectoryTreeBuilder::FlashBuild  searcherType : %d, total added files: %lld\n",
                static_cast<int>(type), tree->added);
    m_building = false;
    return 1;
}
