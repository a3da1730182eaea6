#include "engine/apfs/ApfsFileNode.h"

#include "engine/common/DataRunList.h"

#include <strings.h>

namespace apfs {

namespace {
constexpr std::uint64_t kFiletime1970 = 116444736000000000ULL;

std::uint64_t RoundUp4K(std::uint64_t size) {
    const std::uint64_t r = size % 4096;
    return r == 0 ? size : (size > UINT64_MAX - (4096 - r) ? UINT64_MAX : size + (4096 - r));
}
} // namespace

APFSFileNode::APFSFileNode() {
    // The record matching computes the root's parent while the partition
    // index is still 0 (see SetParentNodeID).
    SetBelongedPartition(0);
}

// The copy is the caller's own node: it shares no scan links with the reader's
// nodes, whose lifetime it does not follow.
APFSFileNode::APFSFileNode(const APFSFileNode& other)
    : CFileNode(other), created(other.created), modified(other.modified), accessed(other.accessed),
      block(other.block), objectId(other.objectId), apfsParent(other.apfsParent), serial(other.serial),
      m_name(other.m_name), m_size(other.m_size), m_flags(static_cast<std::uint8_t>(other.m_flags & ~kDelivered)),
      m_extents(other.m_extents) {}

IFileNode* APFSFileNode::Clone() { return new APFSFileNode(*this); }

void APFSFileNode::Release() {
    if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

_FILETIME APFSFileNode::TimeConvert(std::uint64_t ns) {
    if (ns == 0) return {};
    return _FILETIME::From(kFiletime1970 + (ns / 1000000000ULL) * 10000000ULL);
}

void APFSFileNode::SetParentNodeID(long long id) {
    if (Has(kDelivered)) return;
    m_flags |= kParentSet;
    // The parent of an APFS root folder (id 1, with or without a container
    // index) becomes the root folder of the found tree.
    if ((static_cast<std::uint64_t>(id) & 0xFFFFFFFFULL) == 1) {
        const auto index = static_cast<std::int16_t>(GetBelongedPartition());
        id = static_cast<long long>((static_cast<std::uint64_t>(static_cast<std::int64_t>(index)) << 32) | 2);
    }
    CFileNode::SetParentNodeID(id);
}

void APFSFileNode::SetDirectory(bool directory) {
    if (Has(kKindFixed)) return;
    m_flags = static_cast<std::uint8_t>((m_flags & ~kDirectory) | (directory ? kDirectory : 0) | kKindFixed);
}

std::string APFSFileNode::NameFromDisk(const char* name, std::size_t length) {
    if (!name) return {};
    if (length == 10 && strncasecmp(name, ".DS_Store", 9) == 0 && name[9] == '\0') return {};
    return std::string(name, length);
}

void APFSFileNode::SetFileName(const char* name, std::size_t length) {
    m_name = NameFromDisk(name, length);
    // ".Trashes" with its NUL: the volume's trash folder.
    if (m_name.size() == 9 && strncasecmp(m_name.data(), ".Trashes", 8) == 0 && m_name[8] == '\0')
        m_flags |= kDirectory | kDeleted | kKindFixed;
}

void APFSFileNode::SetSize(std::uint64_t size) {
    if (m_size != 0 && !Has(kDeleted)) return;
    m_size = size;
    m_flags &= static_cast<std::uint8_t>(~kSizeComplete);
}

std::uint64_t APFSFileNode::ExtentBytes(std::uint32_t sectorSize) const {
    std::uint64_t sectors = 0, bytes = 0;
    for (const auto& [offset, e] : m_extents)
        if (__builtin_add_overflow(sectors, e.count, &sectors)) return UINT64_MAX;
    if (__builtin_mul_overflow(sectors, std::uint64_t{sectorSize}, &bytes)) return UINT64_MAX;
    return bytes;
}

bool APFSFileNode::AddExtent(std::uint64_t start, std::uint64_t count, std::uint32_t sectorSize,
                             std::uint64_t offset) {
    auto covered = [&] {
        const std::uint64_t total = ExtentBytes(sectorSize);
        if (total > RoundUp4K(m_size)) m_size = total;
        const bool complete = total >= m_size;
        m_flags = static_cast<std::uint8_t>(complete ? (m_flags | kSizeComplete) : (m_flags & ~kSizeComplete));
        return complete;
    };
    // Once the extents cover the size, later ones are older copies.
    if (m_size != 0 && covered()) return false;
    // An extent at offset 0 starts the file again.
    if (offset == 0 && !m_extents.empty()) m_extents.clear();
    auto it = m_extents.find(offset);
    if (it == m_extents.end()) {
        m_extents.emplace(offset, Extent{start, count});
        RebuildRuns();
    } else if (it->second.start == start && it->second.count < count) {
        it->second.count = count;
        RebuildRuns();
    }
    if (m_size == 0) return false;
    return covered();
}

void APFSFileNode::RebuildRuns() {
    auto* runs = new CDataRunList;
    for (const auto& [offset, e] : m_extents) {
        DataRun run;
        run.start = static_cast<long long>(e.start);
        run.length = static_cast<long long>(e.count);
        runs->AddDataRun(&run);
    }
    SetDataRunList(runs);
}

void APFSFileNode::LinkChild(APFSFileNode* child) {
    APFSFileNode* d = this;
    // A merged duplicate hands its children to the folder it was merged into.
    for (int hops = 0; d->Has(kDuplicate) && d->twin && hops < 64; ++hops) d = d->twin;
    child->parentDir = d;
    child->SetParentNodeID(d->GetCurrentNodeID());
    if (child->IsDir()) {
        for (APFSFileNode* c = d->firstLinked; c; c = c->nextLinked) {
            if (c != child && c->IsDir() && c->m_name == child->m_name) {
                child->twin = c;
                child->m_flags |= kDuplicate;
                break;
            }
        }
    }
    if (child->Has(kDuplicate)) return;
    child->nextLinked = d->firstLinked;
    d->firstLinked = child;
}

bool APFSFileNode::IsReadyToDeliver(bool force) {
    if (Has(kDelivered) || (Has(kDuplicate) && twin)) return false;
    if (m_name.empty()) return false;
    if (!IsDir() && created == 0) return false;
    if (force) {
        if (GetParentNodeID() != -1) return true;
        SetParentNodeID(static_cast<long long>((std::uint64_t{GetBelongedPartition()} << 32) | 3));
        return true;
    }
    return GetParentNodeID() == 1 || GetParentNodeID() == 2 || parentDir != nullptr;
}

} // namespace apfs
