#include "engine/apfs/ApfsContainerReader.h"

#include "engine/apfs/ApfsFileNode.h"
#include "engine/common/Bytes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <strings.h>

namespace apfs {

using bytes::Le16;
using bytes::Le32;
using bytes::Le64;

namespace {
// Creation times outside 1985-11-05 .. 2029-05-14 are taken as damage.
constexpr std::uint64_t kEarliestTime = 500000000000000000ULL;
constexpr std::uint64_t kLatestTime = 1873497444986126336ULL;
// A removed object-map entry still reads ov_flags 0 and ov_size 4096.
constexpr std::uint64_t kOmapValueOfBlock = 0x0000100000000000ULL;
constexpr std::uint16_t kDirMode = 0x4000;
constexpr std::uint16_t kDrecDirectory = 4;
constexpr std::uint64_t kSparse = UINT64_MAX; // phys_block_num 0: a hole

// |a - b| without overflow; b is a block number, a one too or -1 (the end).
std::uint64_t Distance(long long a, std::uint64_t b) {
    if (b > static_cast<std::uint64_t>(INT64_MAX)) return UINT64_MAX;
    const long long bb = static_cast<long long>(b);
    return a >= bb ? static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(bb)
                   : static_cast<std::uint64_t>(bb) - static_cast<std::uint64_t>(a);
}

bool IsDsStore(const std::string& raw) {
    return raw.size() == 10 && strncasecmp(raw.data(), ".DS_Store", 9) == 0 && raw[9] == '\0';
}

// A name "0x<decimal digits>..." as left by a directory replaced while in
// use; the digits after the 0x, read as decimal.
bool DeadNumber(const std::string& name, long long& n) {
    if (name.size() < 3 || name[0] != '0' || name[1] != 'x') return false;
    std::size_t i = 2;
    const bool negative = i < name.size() && name[i] == '-';
    if (negative) ++i;
    if (i >= name.size() || name[i] < '0' || name[i] > '9') return false;
    long long v = 0;
    for (; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i)
        if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, name[i] - '0', &v)) v = INT64_MAX;
    n = negative ? -v : v;
    return true;
}

std::uint64_t SaturatingMul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}
} // namespace

bool APFSContainerReader::PendingOrder::operator()(const APFSFileNode* a, const APFSFileNode* b) const {
    return a->serial < b->serial;
}

APFSContainerReader::APFSContainerReader(APFSDelegate* delegate, std::uint32_t containerIndex,
                                         std::uint64_t startSector)
    : m_delegate(delegate), m_index(containerIndex), m_buffer(kBlockSize, 0), m_startSector(startSector) {}

APFSContainerReader::~APFSContainerReader() {
    // The tree builder may still hold some of these; it drops its own
    // references when it goes.
    for (auto& [id, node] : m_files) node->Release();
    for (auto& [id, node] : m_dirs) node->Release();
}

void APFSContainerReader::SetSectorSize(std::uint32_t sectorSize) {
    if (sectorSize >= 512) m_sectorSize = sectorSize;
}

bool APFSContainerReader::Read(std::uint64_t block) {
    return m_delegate->ReadBlocks(this, block, static_cast<int>(kBlockSize), m_buffer.data()) != 0;
}

int APFSContainerReader::ReadContainer() {
    if (!Read(0)) return -1;
    Block b = Buffer();
    const auto blockSize = static_cast<std::int32_t>(Le32(b, nx::kBlockSize));
    // Blocks of other sizes never reach here (the scan claims only 4096), and
    // the buffer holds one 4096-byte block.
    if (blockSize != static_cast<std::int32_t>(kBlockSize) || !PassesObjectHeader(b)) return -2;

    m_blockCount = Le64(b, nx::kBlockCount);
    m_blockSize = kBlockSize;
    m_startBlock = SaturatingMul(m_startSector, m_sectorSize) / m_blockSize;
    m_rangeSectors = SaturatingMul(m_blockSize, m_blockCount) / m_sectorSize;
    m_addressLimit = m_blockCount;
    std::memcpy(m_uuid.data(), b.data() + nx::kUuid, m_uuid.size());

    // The checkpoint walk: nx_xp_desc_index names the block before the newest
    // checkpoint's descriptors, in a descriptor area written back to back the
    // superblock that closed the previous checkpoint; following it gathers
    // the object maps of the newest and older checkpoints, newest first.
    std::vector<std::uint64_t> omaps;
    std::set<std::uint64_t> walked{0};
    for (int pass = 0; pass < kMaxCheckpoints; ++pass) {
        omaps.push_back(Le64(Buffer(), nx::kOmapOid));
        const std::uint64_t next = Le32(Buffer(), nx::kXpDescIndex);
        if (!walked.insert(next).second || !InRange(next) || !Read(next)) break;
    }

    std::array<std::uint8_t, kBlockSize> root{};
    for (std::uint64_t omap : omaps) {
        if (!m_delegate->IsContinue()) break;
        if (!InRange(omap) || !Read(omap)) continue;
        const std::uint64_t tree = Le64(Buffer(), kOmapTreeOid);
        if (!InRange(tree) || !Read(tree) || Subtype(Buffer()) != obj::kSubtypeOmap) continue;
        ++m_omapsRead;
        std::copy(m_buffer.begin(), m_buffer.begin() + kBlockSize, root.begin());
        const Block rootNode(root.data(), root.size());
        const std::uint32_t entries = Le32(rootNode, btn::kNkeys);
        for (std::uint32_t i = 0; i < entries && m_delegate->IsContinue(); ++i) {
            const auto value = FixedValue(rootNode, i, btn::kInfoSize, kOmapValueSize);
            if (!value) break;
            const std::uint64_t volume = Le64(rootNode, *value + kOmapValuePaddr);
            if (!InRange(volume) || !Read(volume) || !PassesObjectHeader(Buffer())) continue;
            ReadVolume(volume);
        }
        // Whatever later passes make comes from older checkpoints.
        m_history = true;
    }
    return 0;
}

int APFSContainerReader::ReadLoneVolume(std::uint64_t block, std::uint64_t deviceSectors) {
    m_rangeSectors = deviceSectors;
    m_addressLimit = SaturatingMul(deviceSectors, m_sectorSize) / kBlockSize;
    if (!Read(block)) return -1;
    if (!PassesObjectHeader(Buffer())) return -2;
    ReadVolume(block);
    return 0;
}

void APFSContainerReader::ReadVolume(std::uint64_t /*volumeBlock*/) {
    if (m_volumeFolder.empty())
        m_volumeFolder = FieldText(Buffer(), apsb::kVolname, apsb::kVolnameMax) + "_" + std::to_string(m_index);
    const std::uint64_t omap = Le64(Buffer(), apsb::kOmapOid);
    if (!InRange(omap) || !Read(omap)) return;
    WalkObjectMap(Le64(Buffer(), kOmapTreeOid));
}

void APFSContainerReader::WalkObjectMap(std::uint64_t root) {
    // Each block is queued once and handled once, however many checkpoints
    // or volumes map it, so the walk ends and its queue stays bounded.
    std::deque<std::uint64_t> queue;
    std::unordered_set<std::uint64_t> queued;
    auto push = [&](std::uint64_t block) {
        if (InRange(block) && !m_visited.count(block) && queued.insert(block).second) queue.push_back(block);
    };
    push(root);
    std::vector<std::uint64_t> children;
    while (!queue.empty()) {
        if (!m_delegate->IsContinue()) return;
        const std::uint64_t b = queue.front();
        queue.pop_front();
        if (!m_visited.insert(b).second) continue;
        if (!Read(b) || !PassesObjectHeader(Buffer())) continue;
        switch (Subtype(Buffer())) {
        case obj::kSubtypeFsTree: HandleNode(Buffer(), b); break;
        case obj::kSubtypeOmap:
            children.clear();
            QueueOmapChildren(Buffer(), children);
            for (std::uint64_t c : children) push(c);
            break;
        default: break;
        }
    }
}

void APFSContainerReader::QueueOmapChildren(Block node, std::vector<std::uint64_t>& queue) {
    const std::uint16_t flags = Le16(node, btn::kFlags);
    const std::uint32_t n = std::min(Le32(node, btn::kNkeys), kMaxOmapEntries);
    const std::size_t keys = btn::kData + Le16(node, btn::kTableLen);
    switch (flags) {
    case btn::kFixed:
    case btn::kFixed | btn::kRoot: { // index nodes: values are child addresses
        const std::size_t trailer = flags & btn::kRoot ? btn::kInfoSize : 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            const auto value = FixedValue(node, i, trailer, 8);
            if (!value || keys + Le16(node, btn::kData + std::size_t{i} * 4) >= node.size()) continue;
            queue.push_back(Le64(node, *value));
        }
        break;
    }
    case btn::kFixed | btn::kLeaf: {
        // A non-root leaf: every value slot that still reads as a mapping of
        // one block, entries removed from the table of contents included.
        const std::size_t k = keys + Le16(node, btn::kData);
        if (k >= node.size()) break;
        for (std::size_t slot = node.size() - kOmapValueSize; slot > k; slot -= kOmapValueSize)
            if (Le64(node, slot) == kOmapValueOfBlock) queue.push_back(Le64(node, slot + kOmapValuePaddr));
        break;
    }
    case btn::kFixed | btn::kLeaf | btn::kRoot:
        for (std::uint32_t i = 0; i < n; ++i) {
            const auto value = FixedValue(node, i, btn::kInfoSize, kOmapValueSize);
            if (!value) return;
            queue.push_back(Le64(node, *value + kOmapValuePaddr));
        }
        break;
    default: std::printf("!!!!Please notify to Watch this%d.!!!!\n", 225); break;
    }
}

void APFSContainerReader::AnalyzeStaleNode(std::uint64_t sector, std::uint64_t block, Block data) {
    if (data.size() < kBlockSize) return;
    const std::uint64_t oid = Oid(data);
    if (m_index != 0 && (sector - m_startSector > m_rangeSectors || oid > m_blockCount)) return;
    // A physical node lies where its own id says.
    if (Le16(data, obj::kTypeFlags) == obj::kFlagsPhysical && oid != block - m_startBlock) return;
    if (oid == 0 || oid >= m_blockCount) return;
    if (TypeLow(data) != obj::kTypeBTreeNode || Subtype(data) != obj::kSubtypeFsTree) return;
    if (m_visited.count(block - m_startBlock)) return;
    HandleNode(data.first(kBlockSize), block);
}

void APFSContainerReader::HandleNode(Block node, std::uint64_t currentBlock) {
    const std::uint32_t n = Le32(node, btn::kNkeys);
    if (n == 0 || n > kMaxNodeKeys) return;
    const std::uint16_t flags = Le16(node, btn::kFlags);
    const std::size_t trailer = (flags == btn::kRoot || flags == (btn::kRoot | btn::kLeaf)) ? btn::kInfoSize : 0;
    for (std::uint32_t i = 0; i < n && m_delegate->IsContinue(); ++i) {
        const auto entry = VariableEntry(node, i, trailer);
        if (!entry) continue;
        switch (KindOf(entry->key)) {
        case RecordKind::Extent: HandleExtent(*entry, currentBlock); break;
        case RecordKind::Inode: HandleInode(*entry, currentBlock); break;
        case RecordKind::DirRecord: HandleDirRecord(*entry, currentBlock); break;
        case RecordKind::Other: break;
        }
    }
}

// ---- records ----------------------------------------------------------------

void APFSContainerReader::Deliver(APFSFileNode* node) {
    if (node->Has(APFSFileNode::kDelivered)) return;
    if (node->IsReadyToDeliver(false)) {
        m_pending.erase(node);
        m_delegate->AddFileNode(node);
    } else {
        m_pending.insert(node);
    }
}

void APFSContainerReader::HandleExtent(const NodeEntry& e, std::uint64_t current) {
    ExtentRecord x;
    if (!ParseExtent(e, x)) return;
    Record r;
    r.id = Composite(x.objectId);
    r.extent = true;
    APFSFileNode* node = MatchOrMake(r, current);
    const std::uint64_t s = m_sectorSize;
    const std::uint64_t sectors = x.length / s + (x.length % s != 0);
    // Block 0 is a hole; blocks outside the container are someone else's.
    std::uint64_t start = kSparse;
    if (x.physBlock != 0) {
        if (x.physBlock >= m_addressLimit) return Deliver(node);
        start = SaturatingMul(x.physBlock, m_blockSize) / s;
    }
    node->AddExtent(start, sectors, m_sectorSize, x.logicalAddr);
    Deliver(node);
}

void APFSContainerReader::HandleInode(const NodeEntry& e, std::uint64_t current) {
    InodeRecord x;
    if (!ParseInode(e, x) || !x.hasName || IsDsStore(x.name)) return;
    Record r;
    r.id = Composite(x.privateId);
    r.parent = static_cast<long long>(Composite(x.parentId));
    r.name = APFSFileNode::NameFromDisk(x.name.data(), x.name.size());
    r.date = x.createTime;
    r.directory = (x.mode & kDirMode) != 0;
    APFSFileNode* node = MatchOrMake(r, current);
    node->SetDirectory(r.directory);

    // With the history flag set a file's folder waits for the flush, when
    // the folders of the newer checkpoints are known.
    if (!node->Has(APFSFileNode::kDelivered) && !node->parentDir && r.parent != -1 &&
        (r.directory || !m_history))
        LinkToFolder(node, r.parent, static_cast<long long>(current));

    if (x.dataStreamSize != 0) {
        if (node->Size() == 0)
            node->SetSize(x.dataStreamSize);
        else if (node->Name() == r.name && node->created == x.createTime && x.dataStreamSize > node->Size())
            node->SetSize(x.dataStreamSize);
    }
    if (node->Name().empty()) node->SetFileName(x.name.data(), x.name.size());
    if (node->created == 0) {
        node->created = 0;
        for (std::uint64_t t : {x.createTime, x.modTime, x.changeTime})
            if (t >= kEarliestTime && t <= kLatestTime) {
                node->created = t;
                break;
            }
        node->modified = x.changeTime;
        node->accessed = x.accessTime;
    }
    Deliver(node);
}

void APFSContainerReader::HandleDirRecord(const NodeEntry& e, std::uint64_t current) {
    DirRecord x;
    if (!ParseDirRecord(e, x) || IsDsStore(x.name)) return;
    Record r;
    r.id = Composite(x.fileId);
    r.parent = static_cast<long long>(Composite(x.parentId));
    r.name = APFSFileNode::NameFromDisk(x.name.data(), x.name.size());
    r.date = x.dateAdded;
    r.directory = x.flags == kDrecDirectory;
    APFSFileNode* node = MatchOrMake(r, current);
    if (r.directory && !node->Has(APFSFileNode::kDelivered) && !node->parentDir)
        LinkToFolder(node, r.parent, static_cast<long long>(current));
    if (m_index != 0 && x.fileId == 2) {
        node->SetParentNodeID(2);
        // A name already shown is not changed under the windows reading it.
        if (!m_volumeFolder.empty() && !node->Has(APFSFileNode::kDelivered)) node->SetName(m_volumeFolder);
    } else if (node->Name().empty()) {
        node->SetDirectory(r.directory);
        node->SetFileName(x.name.data(), x.name.size());
        node->created = node->modified = x.dateAdded;
    }
    Deliver(node);
}

APFSFileNode* APFSContainerReader::MatchOrMake(const Record& r, std::uint64_t current) {
    NodeMap& map = r.directory ? m_dirs : m_files;
    const auto [from, to] = map.equal_range(r.id);
    for (auto it = from; it != to; ++it) {
        APFSFileNode* c = it->second;
        if (c->apfsParent != r.parent) continue;
        if ((c->objectId & 0xFFFFFFFFULL) < 5 || (!r.name.empty() && r.name.find(c->Name()) != std::string::npos)) {
            c->block = current;
            return c;
        }
    }
    // Otherwise the candidate nearest on disk (or with the same date), within
    // a window that grows with the candidate's size.
    APFSFileNode *best = nullptr, *last = nullptr;
    std::uint64_t window = 4096;
    for (auto it = from; it != to; ++it) {
        APFSFileNode* c = it->second;
        if (window >= 257) window = std::max(window, c->Size() / 4096 + 256);
        const std::uint64_t d = Distance(static_cast<long long>(std::min<std::uint64_t>(current, INT64_MAX)), c->block);
        if (r.date != 0 ? (c->created == r.date || d < window) : d < window) {
            best = c;
            window = d;
        }
        last = c;
    }
    if (r.extent && best) {
        best->block = current;
        return best;
    }
    if (best && !r.directory && (r.parent == -1 || best->apfsParent == -1)) {
        if (best->apfsParent == -1 && r.parent != -1) {
            best->apfsParent = r.parent;
            best->SetParentNodeID(r.parent);
        }
        best->block = current;
        return best;
    }
    APFSFileNode* node = Make(r, current, from != to, last);
    long long n = 0;
    if (best && DeadNumber(r.name, n)) node->SetName(std::string(best->GetFileName()) + "-" + std::to_string(n));
    return node;
}

APFSFileNode* APFSContainerReader::Make(const Record& r, std::uint64_t current, bool idTaken, APFSFileNode* last) {
    auto* node = new APFSFileNode;
    node->serial = ++m_made;
    node->SetDirectory(r.directory);
    node->SetNodeID(idTaken ? static_cast<long long>(reinterpret_cast<std::uintptr_t>(node))
                            : static_cast<long long>(r.id));
    node->SetParentNodeID(r.parent); // while the partition index is still 0
    node->block = current;
    node->objectId = r.id;
    node->apfsParent = r.parent;
    node->SetBelongedPartition(static_cast<std::uint16_t>(m_index));
    if (!r.name.empty()) node->SetName(r.name);
    if (m_index != 0 || m_history) node->MarkDeleted();
    if (last && last->GetDataRunList()) node->SetDataRunList(last->GetDataRunList()->Clone());
    (r.directory ? m_dirs : m_files).emplace(r.id, node);
    return node;
}

void APFSContainerReader::LinkToFolder(APFSFileNode* node, long long parent, long long reference) {
    APFSFileNode* folder = nullptr;
    std::uint64_t nearest = UINT64_MAX;
    const auto [from, to] = m_dirs.equal_range(static_cast<std::uint64_t>(parent));
    for (auto it = from; it != to; ++it) {
        const std::uint64_t d = Distance(reference, it->second->block);
        if (!folder || d < nearest) {
            folder = it->second;
            nearest = d;
        }
    }
    node->apfsParent = parent;
    if (folder)
        folder->LinkChild(node);
    else
        node->SetParentNodeID(parent);
}

void APFSContainerReader::FlushPendingNodes(long long reference) {
    const bool force = reference == -1;
    const std::vector<APFSFileNode*> pending(m_pending.begin(), m_pending.end());
    for (APFSFileNode* node : pending) {
        if (!node->Has(APFSFileNode::kDelivered) && !node->parentDir && node->GetParentNodeID() != -1)
            LinkToFolder(node, node->GetParentNodeID(), reference);
        if (!node->IsReadyToDeliver(force)) continue;
        // A file without extents of its own takes those of an earlier copy.
        if (!node->IsDir() && !node->GetDataRunList()) {
            const auto [from, to] = m_files.equal_range(node->objectId);
            for (auto it = from; it != to; ++it) {
                APFSFileNode* c = it->second;
                if (c != node && c->GetDataRunList() && c->created == node->created) {
                    node->SetDataRunList(c->GetDataRunList()->Clone());
                    break;
                }
            }
        }
        m_pending.erase(node);
        m_delegate->AddFileNode(node);
    }
}

} // namespace apfs
