#include "engine/common/FileNode.h"

#include <cstring>

namespace {
// Sign-extends the low `bits` bits of v.
long long SignExtend(std::uint64_t v, int bits) {
    const std::uint64_t m = std::uint64_t{1} << (bits - 1);
    v &= (std::uint64_t{1} << bits) - 1;
    return static_cast<long long>((v ^ m) - m);
}
constexpr std::uint64_t kCheckMask = 0xF;
constexpr std::uint64_t kShownMask = 0xF0;
constexpr std::uint64_t kPartitionMask = 0xFFFF00;
constexpr std::uint64_t kMetaMask = 0xFFFFFFFFFF000000ULL;
// Parent walks are bounded: a chain longer than this is a loop made by hand.
constexpr int kMaxDepth = 1 << 20;
} // namespace

CFileNode::CFileNode() = default;

// A copy is a fresh, unlinked node with the same state and its own copy of
// the runs, so the copy and the original can be released independently.
CFileNode::CFileNode(const CFileNode& other) : IFilesystemNode() {
    *this = other;
    m_firstChild.store(nullptr);
    m_next.store(nullptr);
    m_parent.store(nullptr);
    m_shownChildren.store(0);
    m_tickSum.store(0);
    m_dataRuns = other.m_dataRuns ? other.m_dataRuns->Clone() : nullptr;
}

CFileNode::~CFileNode() {
    m_parent.store(nullptr);
    m_firstChild.store(nullptr);
    m_next.store(nullptr);
    if (m_dataRuns) m_dataRuns->Release();
    m_dataRuns = nullptr;
}

CFileNode& CFileNode::operator=(const CFileNode& other) {
    if (this == &other) return *this;
    m_firstChild.store(other.m_firstChild.load());
    m_next.store(other.m_next.load());
    m_shownChildren.store(other.m_shownChildren.load());
    m_dataRuns = other.m_dataRuns;
    m_id = other.m_id;
    m_parentId = other.m_parentId;
    m_state.store(other.m_state.load());
    m_parent.store(other.m_parent.load());
    m_tickSum.store(other.m_tickSum.load());
    m_compressed = other.m_compressed;
    return *this;
}

void CFileNode::SetStateBits(std::uint64_t mask, std::uint64_t bits) {
    std::uint64_t old = m_state.load(std::memory_order_relaxed);
    while (!m_state.compare_exchange_weak(old, (old & ~mask) | (bits & mask), std::memory_order_acq_rel,
                                          std::memory_order_relaxed)) {
    }
}

int CFileNode::ShownField() const { return static_cast<int>(SignExtend(m_state.load() >> 4, 4)); }

void CFileNode::SetShownField(int v) { SetStateBits(kShownMask, (static_cast<std::uint64_t>(v) & 0xF) << 4); }

void CFileNode::SetCheckField(int v) { SetStateBits(kCheckMask, static_cast<std::uint64_t>(v) & 0xF); }

int CFileNode::IsNodeShow() { return ShownField(); }

_tagCheckedStatus CFileNode::GetCheckedStatus() {
    return static_cast<_tagCheckedStatus>(SignExtend(m_state.load(), 4));
}

void CFileNode::SetBelongedPartition(std::uint16_t index) { SetStateBits(kPartitionMask, std::uint64_t{index} << 8); }

std::uint16_t CFileNode::GetBelongedPartition() const { return static_cast<std::uint16_t>(m_state.load() >> 8); }

void CFileNode::SetMetaDataSector(long long sector) {
    SetStateBits(kMetaMask, (static_cast<std::uint64_t>(sector) & 0xFFFFFFFFFFULL) << 24);
}

long long CFileNode::GetMetadataStartPosition() const { return SignExtend(m_state.load() >> 24, 40); }

void CFileNode::SetDataRunList(IDataRunList* runs) {
    if (m_dataRuns && m_dataRuns != runs) m_dataRuns->Release();
    m_dataRuns = runs;
}

void CFileNode::ShowNode(int show) {
    const int current = ShownField();
    if (CFileNode* parent = GetParentNode()) {
        // Only a change between hidden and shown moves the parent's count.
        int delta = 0;
        if ((show != 0) != (current != 0)) delta = show ? 1 : -1;
        parent->ShowParent(delta);
    }
    SetShownField(show);
}

void CFileNode::ShowParent(int delta) {
    if (delta == 0) return;
    std::uint32_t count = m_shownChildren.load();
    std::uint32_t next;
    do {
        if (delta < 0 && count == 0) return; // nothing left to hide
        next = static_cast<std::uint32_t>(static_cast<long long>(count) + delta);
    } while (!m_shownChildren.compare_exchange_weak(count, next));
    const int now = next != 0 ? 1 : 0;
    CFileNode* parent = GetParentNode();
    if (now != ShownField() && parent) parent->ShowParent(now ? 1 : -1);
    SetShownField(now);
}

void CFileNode::SetCheck(_tagCheckedStatus status) {
    const int s = static_cast<int>(status);
    // Partly ticked only ever arises from children; a request for it is a
    // caller's mistake and leaves the node as it is.
    if (s == CHECK_PART || s < 0) return;
    if (ShownField() == 0 || s >= 3) return;
    const int old = GetCheckedStatus();
    if (CFileNode* parent = GetParentNode()) parent->SetParentStatus(s - old);
    if (CFileNode* child = FirstChildNode()) child->SetChildStatus(s, true);
    SetCheckField(s);
    m_tickSum.store(static_cast<std::int32_t>(m_shownChildren.load()) * s);
}

void CFileNode::SetParentStatus(int delta) {
    CFileNode* node = this;
    for (int depth = 0; node && delta != 0 && depth < kMaxDepth; ++depth) {
        const std::int32_t sum = node->m_tickSum.fetch_add(delta) + delta;
        const int old = node->GetCheckedStatus();
        int now = 1;
        if (sum == 0)
            now = 0;
        else if (sum == 2 * static_cast<std::int32_t>(node->m_shownChildren.load()))
            now = 2;
        node->SetCheckField(now);
        delta = now - old;
        node = node->GetParentNode();
    }
}

void CFileNode::SetChildStatus(int status, bool walkSiblings) {
    // Siblings are walked iteratively; only the depth of the tree recurses.
    for (CFileNode* node = this; node; node = walkSiblings ? node->NextNode() : nullptr) {
        if (node->ShownField() == 0) continue; // hidden nodes keep their state
        node->SetCheckField(status);
        if (status == CHECK_PART) continue;
        node->m_tickSum.store(static_cast<std::int32_t>(node->m_shownChildren.load()) * status);
        if (CFileNode* child = node->FirstChildNode()) child->SetChildStatus(status, true);
    }
}

int CFileNode::IsLoopedToSelf(IFileNode* node, IFileNode* c) {
    if (!node || !c) return 0;
    IFileNode* p = node->GetParent();
    for (int depth = 0; p && depth < kMaxDepth; ++depth) {
        if (p == c) return 1;
        p = p->GetParent();
    }
    return p ? 1 : 0; // a walk that never ends is a loop
}

int CFileNode::AddChild(IFileNode* child) { return AddChildAfter(nullptr, child); }

int CFileNode::AddChildAfter(CFileNode* after, IFileNode* child) {
    auto* c = dynamic_cast<CFileNode*>(child);
    if (!c || c == this) return 0;
    if (after && after->GetParentNode() != this) return 0;
    // A node has one parent; linking it twice would corrupt both child lists.
    if (c->GetParentNode()) return 0;
    if (IsLoopedToSelf(this, c)) return 0;
    if (c->ShownField() != 0) ++m_shownChildren;
    std::atomic<CFileNode*>& link = after ? after->m_next : m_firstChild;
    c->m_parent.store(this, std::memory_order_release);
    c->m_next.store(link.load(std::memory_order_acquire), std::memory_order_release);
    // The last store publishes the child: a reader that finds it through
    // this link sees every field written before.
    link.store(c, std::memory_order_release);
    return 1;
}

int CFileNode::AddNext(IFileNode* next) {
    auto* n = dynamic_cast<CFileNode*>(next);
    if (!n || n == this) return 0;
    if (CFileNode* next = NextNode()) n->AddNext(next);
    m_next.store(n, std::memory_order_release);
    return 1;
}

int CFileNode::RemoveChild(CFileNode* child) {
    if (!child || !FirstChildNode()) return 0;
    CFileNode* prev = nullptr;
    CFileNode* cur = FirstChildNode();
    while (cur && cur != child) {
        prev = cur;
        cur = cur->NextNode();
    }
    if (!cur) return 0;
    if (prev)
        prev->m_next.store(cur->NextNode(), std::memory_order_release);
    else
        m_firstChild.store(cur->NextNode(), std::memory_order_release);
    if (cur->ShownField() != 0) {
        std::uint32_t count = m_shownChildren.load();
        while (count > 0 && !m_shownChildren.compare_exchange_weak(count, count - 1)) {
        }
    }
    cur->m_parent.store(nullptr);
    cur->m_firstChild.store(nullptr);
    cur->m_next.store(nullptr);
    return 1;
}

std::string CFileNode::FilterFileNameByDot(const std::string& name) {
    size_t i = 0;
    while (i < name.size() && (name[i] == ' ' || name[i] == '.')) ++i;
    return name.substr(i);
}

bool CFileNode::operator==(CFileNode& other) {
    if (m_id != other.m_id) return false;
    if ((IsDirectory() != 0) != (other.IsDirectory() != 0)) return false;
    if (m_parentId != other.m_parentId) return false;
    const char* a = SafeName(GetFileName());
    const char* b = SafeName(other.GetFileName());
    if (std::strcmp(a, b) == 0) {
        if (IsDirectory()) return true;
        // Another version of an HFS+ file (an older catalog leaf) is a file
        // of its own, never merged into the current one.
        if (GetSearcheType() == SEARCHER_HFSPLUS)
            return GetCreationTime() == other.GetCreationTime() && GetFileSize() == other.GetFileSize() &&
                   GetModificationTime() == other.GetModificationTime();
        return GetBelongedPartition() == other.GetBelongedPartition();
    }
    if (GetSearcheType() == SEARCHER_FAT && other.IsDirectory() &&
        other.GetCreationTime().Value() >= GetCreationTime().Value())
        TakeDuplicateProperties(other);
    return false;
}
