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
    m_firstChild = nullptr;
    m_next = nullptr;
    m_parent = nullptr;
    m_shownChildren = 0;
    m_tickSum = 0;
    m_dataRuns = other.m_dataRuns ? other.m_dataRuns->Clone() : nullptr;
}

CFileNode::~CFileNode() {
    m_parent = nullptr;
    m_firstChild = nullptr;
    m_next = nullptr;
    if (m_dataRuns) m_dataRuns->Release();
    m_dataRuns = nullptr;
}

CFileNode& CFileNode::operator=(const CFileNode& other) {
    if (this == &other) return *this;
    m_firstChild = other.m_firstChild;
    m_next = other.m_next;
    m_shownChildren = other.m_shownChildren;
    m_dataRuns = other.m_dataRuns;
    m_id = other.m_id;
    m_parentId = other.m_parentId;
    m_state = other.m_state;
    m_parent = other.m_parent;
    m_tickSum = other.m_tickSum;
    m_compressed = other.m_compressed;
    return *this;
}

int CFileNode::ShownField() const { return static_cast<int>(SignExtend(m_state >> 4, 4)); }

void CFileNode::SetShownField(int v) {
    m_state = (m_state & ~kShownMask) | ((static_cast<std::uint64_t>(v) & 0xF) << 4);
}

void CFileNode::SetCheckField(int v) {
    m_state = (m_state & ~kCheckMask) | (static_cast<std::uint64_t>(v) & 0xF);
}

int CFileNode::IsNodeShow() { return ShownField(); }

_tagCheckedStatus CFileNode::GetCheckedStatus() {
    return static_cast<_tagCheckedStatus>(SignExtend(m_state, 4));
}

void CFileNode::SetBelongedPartition(std::uint16_t index) {
    m_state = (m_state & ~kPartitionMask) | (std::uint64_t{index} << 8);
}

std::uint16_t CFileNode::GetBelongedPartition() const { return static_cast<std::uint16_t>(m_state >> 8); }

void CFileNode::SetMetaDataSector(long long sector) {
    m_state = (m_state & ~kMetaMask) | ((static_cast<std::uint64_t>(sector) & 0xFFFFFFFFFFULL) << 24);
}

long long CFileNode::GetMetadataStartPosition() const { return SignExtend(m_state >> 24, 40); }

void CFileNode::SetDataRunList(IDataRunList* runs) {
    if (m_dataRuns && m_dataRuns != runs) m_dataRuns->Release();
    m_dataRuns = runs;
}

void CFileNode::ShowNode(int show) {
    const int current = ShownField();
    if (m_parent) {
        // Only a change between hidden and shown moves the parent's count.
        int delta = 0;
        if ((show != 0) != (current != 0)) delta = show ? 1 : -1;
        m_parent->ShowParent(delta);
    }
    SetShownField(show);
}

void CFileNode::ShowParent(int delta) {
    if (delta == 0) return;
    if (delta < 0 && m_shownChildren == 0) return; // nothing left to hide
    m_shownChildren = static_cast<std::uint32_t>(static_cast<long long>(m_shownChildren) + delta);
    const int now = m_shownChildren != 0 ? 1 : 0;
    if (now != ShownField() && m_parent) m_parent->ShowParent(now ? 1 : -1);
    SetShownField(now);
}

void CFileNode::SetCheck(_tagCheckedStatus status) {
    const int s = static_cast<int>(status);
    // Partly ticked only ever arises from children; a request for it is a
    // caller's mistake and leaves the node as it is.
    if (s == CHECK_PART || s < 0) return;
    if (ShownField() == 0 || s >= 3) return;
    const int old = GetCheckedStatus();
    if (m_parent) m_parent->SetParentStatus(s - old);
    if (m_firstChild) m_firstChild->SetChildStatus(s, true);
    SetCheckField(s);
    m_tickSum = static_cast<std::int32_t>(m_shownChildren) * s;
}

void CFileNode::SetParentStatus(int delta) {
    CFileNode* node = this;
    for (int depth = 0; node && delta != 0 && depth < kMaxDepth; ++depth) {
        node->m_tickSum += delta;
        const int old = node->GetCheckedStatus();
        int now = 1;
        if (node->m_tickSum == 0)
            now = 0;
        else if (node->m_tickSum == 2 * static_cast<std::int32_t>(node->m_shownChildren))
            now = 2;
        node->SetCheckField(now);
        delta = now - old;
        node = node->m_parent;
    }
}

void CFileNode::SetChildStatus(int status, bool walkSiblings) {
    // Siblings are walked iteratively; only the depth of the tree recurses.
    for (CFileNode* node = this; node; node = walkSiblings ? node->m_next : nullptr) {
        if (node->ShownField() == 0) continue; // hidden nodes keep their state
        node->SetCheckField(status);
        if (status == CHECK_PART) continue;
        node->m_tickSum = static_cast<std::int32_t>(node->m_shownChildren) * status;
        if (node->m_firstChild) node->m_firstChild->SetChildStatus(status, true);
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

int CFileNode::AddChild(IFileNode* child) {
    auto* c = dynamic_cast<CFileNode*>(child);
    if (!c || c == this) return 0;
    // A node has one parent; linking it twice would corrupt both child lists.
    if (c->m_parent) return 0;
    if (IsLoopedToSelf(this, c)) return 0;
    if (c->ShownField() != 0) ++m_shownChildren;
    c->m_parent = this;
    c->m_next = m_firstChild;
    m_firstChild = c;
    return 1;
}

int CFileNode::AddNext(IFileNode* next) {
    auto* n = dynamic_cast<CFileNode*>(next);
    if (!n || n == this) return 0;
    if (m_next) n->AddNext(m_next);
    m_next = n;
    return 1;
}

int CFileNode::RemoveChild(CFileNode* child) {
    if (!child || !m_firstChild) return 0;
    CFileNode* prev = nullptr;
    CFileNode* cur = m_firstChild;
    while (cur && cur != child) {
        prev = cur;
        cur = cur->m_next;
    }
    if (!cur) return 0;
    if (prev)
        prev->m_next = cur->m_next;
    else
        m_firstChild = cur->m_next;
    if (cur->ShownField() != 0 && m_shownChildren > 0) --m_shownChildren;
    cur->m_parent = nullptr;
    cur->m_firstChild = nullptr;
    cur->m_next = nullptr;
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
        if (GetSearcheType() == SEARCHER_HFSPLUS)
            return GetCreationTime() == other.GetCreationTime() && GetFileSize() == other.GetFileSize();
        return GetBelongedPartition() == other.GetBelongedPartition();
    }
    if (GetSearcheType() == SEARCHER_FAT && other.IsDirectory() &&
        other.GetCreationTime().Value() >= GetCreationTime().Value())
        TakeDuplicateProperties(other);
    return false;
}
