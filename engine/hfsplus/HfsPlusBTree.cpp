#include "engine/hfsplus/HfsPlusBTree.h"

#include "engine/hfsplus/HfsPlusVolume.h"
#include "engine/utility/CatchExeception.h"

#include <algorithm>

using namespace bytes;

namespace hfsplus {

namespace {
constexpr std::size_t kDescriptorSize = 14;
constexpr std::uint32_t kMaxNodeSize = 32768;

BTHeaderRec ReadHeaderRec(Bytes b) {
    BTHeaderRec h;
    h.treeDepth = Be16(b, 0);
    h.rootNode = Be32(b, 2);
    h.leafRecords = Be32(b, 6);
    h.firstLeafNode = Be32(b, 10);
    h.lastLeafNode = Be32(b, 14);
    h.nodeSize = Be16(b, 18);
    h.maxKeyLength = Be16(b, 20);
    h.totalNodes = Be32(b, 22);
    h.freeNodes = Be32(b, 26);
    h.btreeType = U8(b, 36);
    h.keyCompareType = U8(b, 37);
    h.attributes = Be32(b, 38);
    return h;
}
// The first `size` bytes of a record; what the record lacks stays zero.
std::vector<std::uint8_t> SizedCopy(bytes::Bytes record, std::size_t size) {
    std::vector<std::uint8_t> copy(size, 0);
    std::copy_n(record.begin(), std::min(size, record.size()), copy.begin());
    return copy;
}

} // namespace

bool CHFSPlusBTNode::IsValidNode(const unsigned char* bytes, std::size_t size) {
    if (!bytes || size < 512 || size % 512 != 0 || size > kMaxNodeSize) return false;
    const Bytes b(bytes, size);
    const std::uint8_t kind = b[8];
    if (kind > 2 && kind != 0xFF) return false;
    if (kind == 0xFF && b[9] != 1) return false;
    if (kind == 1 && b[9] != 0) return false;
    const std::size_t records = Be16(b, 10);
    // The offset table (records + 1 entries) must leave room for the descriptor.
    if (2 * (records + 1) > size - kDescriptorSize) return false;
    if (Be16(b, size - 2) != kDescriptorSize) return false;
    std::size_t previous = kDescriptorSize;
    for (std::size_t i = 1; i <= records; ++i) {
        const std::size_t at = size - 2 - 2 * i;
        const std::size_t offset = Be16(b, at);
        if (offset <= previous || offset > at) return false;
        previous = offset;
    }
    return true;
}

CHFSPlusBTNode::CHFSPlusBTNode(const unsigned char* bytes, std::size_t size) {
    if (!IsValidNode(bytes, size)) {
        m_result = MakeResult(ResultLib::HfsPlus, 1, kErrInvalid);
        return;
    }
    m_bytes.assign(bytes, bytes + size);
    const Bytes b(m_bytes);
    m_descriptor = BTNodeDescriptor{Be32(b, 0), Be32(b, 4), static_cast<std::int8_t>(b[8]), b[9], Be16(b, 10)};
}

Bytes CHFSPlusBTNode::GetRecord(std::uint16_t index) const {
    if (!m_descriptor || index >= m_descriptor->numRecords) return {};
    const std::size_t size = m_bytes.size();
    const std::size_t from = Be16(m_bytes, size - 2 - 2 * std::size_t{index});
    const std::size_t to = Be16(m_bytes, size - 4 - 2 * std::size_t{index});
    return Bytes(m_bytes).subspan(from, to - from);
}

bool CHFSPlusBTNode::IsValidCatalogThread(Bytes data) {
    if (data.size() < 10) return false;
    const std::uint16_t type = Be16(data, 0);
    if (type != kFolderThread && type != kFileThread) return false;
    return 2 * std::size_t{Be16(data, 8)} + 10 == data.size();
}

int CHFSPlusBTNode::TestNodeBelongToFile() const {
    int answer = 0;
    for (std::uint16_t i = 0; i < GetRecordCount(); ++i) {
        const Bytes record = GetRecord(i);
        const std::size_t k = std::size_t{Be16(record, 0)} + 2;
        if (k >= m_bytes.size() || k > record.size()) return answer;
        const Bytes data = record.subspan(k);
        const std::size_t d = data.size();
        const std::uint16_t t = Be16(data, 0);
        if (IsValidCatalogThread(data)) return 4;
        if ((d == 88 && t == 1) || (d == 248 && t == 2)) return 4;
        if ((d == 88 && t == 0x20) || (d == 72 && t == 0x30)) answer = 8;
        else if (d == 64) answer = 3;
    }
    return answer;
}

CHFSPlusBTreeOptionBase::CHFSPlusBTreeOptionBase(CHFSPlusRawfile* file, std::uint32_t fileId)
    : m_file(file), m_fileId(fileId) {
    if (!file) {
        m_result = MakeResult(ResultLib::HfsPlus, 2, kErrNullArg);
        return;
    }
    std::vector<std::uint8_t> first(512);
    if (file->Read(0, first.data(), first.size()) != first.size()) {
        m_result = HFS_ERROR(kErrShortRead);
        return;
    }
    m_nodeSize = Be16(first, kDescriptorSize + 18);
    std::unique_ptr<CHFSPlusBTNode> node = CreateNode(0);
    if (!node) return;
    if (node->Descriptor().kind != kHeaderNode || node->GetRecord(0).size() < 106) {
        m_result = HFS_ERROR(kErrInvalid);
        return;
    }
    m_header = ReadHeaderRec(node->GetRecord(0));
    m_result = 0;
}

std::uint32_t CHFSPlusBTreeOptionBase::GetRoot() {
    if (!m_header) {
        m_result = MakeResult(ResultLib::HfsPlus, 3, kErrMissing);
        return 0;
    }
    return m_header->rootNode;
}

std::unique_ptr<CHFSPlusBTNode> CHFSPlusBTreeOptionBase::CreateNode(std::uint32_t n) {
    if (!m_file || m_nodeSize < 512 || m_nodeSize > kMaxNodeSize) {
        m_result = MakeResult(ResultLib::HfsPlus, 4, kErrInvalid);
        return nullptr;
    }
    if (m_header && m_header->totalNodes != 0 && n >= m_header->totalNodes) {
        m_result = MakeResult(ResultLib::HfsPlus, 5, kErrInvalid);
        return nullptr;
    }
    std::vector<std::uint8_t> bytes(m_nodeSize);
    if (m_file->Read(std::uint64_t{n} * m_nodeSize, bytes.data(), bytes.size()) != bytes.size()) {
        m_result = MakeResult(ResultLib::HfsPlus, 6, kErrShortRead);
        return nullptr;
    }
    auto node = std::make_unique<CHFSPlusBTNode>(bytes.data(), bytes.size());
    if (!node->IsValid()) {
        m_result = node->GetLastError();
        return nullptr;
    }
    return node;
}

std::uint32_t CHFSPlusBTreeOptionBase::GetChild(const CHFSPlusBTNode& node, std::uint16_t i) {
    BTKey key;
    const Bytes record = node.GetRecord(i);
    if (node.Descriptor().kind != kIndexNode || !KeyRead(record, key) ||
        !Has(record, std::size_t{key.keyLength} + 2, 4)) {
        m_result = MakeResult(ResultLib::HfsPlus, 7, kErrInvalid);
        return 0;
    }
    return Be32(record, std::size_t{key.keyLength} + 2);
}

bool CHFSPlusBTreeOptionBase::Mark(std::uint32_t n, std::unordered_set<std::uint32_t>& visited) const {
    // A set of the nodes met, not a map of the tree: totalNodes comes from disk.
    if (!m_header || n >= m_header->totalNodes) return false;
    return visited.insert(n).second;
}

ResultCode CHFSPlusBTreeOptionBase::Search(const BTKey& key, HFSPlusSearchResult& result,
                                           std::vector<std::uint8_t>* data) {
    std::uint32_t n = GetRoot();
    if (n == 0) return m_result;
    result = {};
    std::unordered_set<std::uint32_t> visited;
    for (unsigned depth = 0;; ++depth) {
        // A child that points back up the path, or a path deeper than any
        // real tree, is damage: it would otherwise loop for ever.
        if (depth >= kMaxDepth || !Mark(n, visited)) return m_result = HFS_ERROR(kErrInvalid);
        std::unique_ptr<CHFSPlusBTNode> node = CreateNode(n);
        if (!node) return m_result;
        const std::uint16_t count = node->GetRecordCount();
        const std::int8_t kind = node->Descriptor().kind;
        if (kind != kIndexNode && kind != kLeafNode) return m_result = HFS_ERROR(kErrInvalid);
        std::uint16_t i = 0;
        int cmp = -1;
        for (; i < count; ++i) {
            BTKey k;
            if (!KeyRead(node->GetRecord(i), k)) return m_result = MakeResult(ResultLib::HfsPlus, 8, kErrInvalid);
            cmp = Compare(k, key);
            if (cmp >= 0) break;
        }
        if (kind == kLeafNode) {
            if (i == count) return m_result = 0;
            result = {n, i, static_cast<std::uint16_t>(cmp == 0)};
            if (cmp == 0 && data) {
                BTKey k;
                KeyRead(node->GetRecord(i), k);
                const Bytes record = node->GetRecord(i);
                const std::size_t at = DataOffset(k);
                if (at > record.size()) return m_result = MakeResult(ResultLib::HfsPlus, 9, kErrInvalid);
                data->assign(record.begin() + static_cast<std::ptrdiff_t>(at), record.end());
            }
            return m_result = 0;
        }
        if (count == 0) return m_result = MakeResult(ResultLib::HfsPlus, 10, kErrInvalid);
        std::uint16_t pick;
        if (i == count) pick = static_cast<std::uint16_t>(count - 1);
        else if (cmp == 0) pick = i;
        else if (i == 0) return m_result = MakeResult(ResultLib::HfsPlus, 11, kErrInvalid); // below every key
        else pick = static_cast<std::uint16_t>(i - 1);
        n = GetChild(*node, pick);
        if (n == 0) return m_result;
    }
}

ResultCode CHFSPlusBTreeOptionBase::Traverse(const LeafVisitor& visit, const ContinueCheck& proceed) {
    const std::uint32_t root = GetRoot();
    if (root == 0) return m_result;
    std::unordered_set<std::uint32_t> visited;
    return TraverseNode(root, 0, visit, proceed, visited);
}

ResultCode CHFSPlusBTreeOptionBase::TraverseNode(std::uint32_t n, unsigned depth, const LeafVisitor& visit,
                                                 const ContinueCheck& proceed,
                                                 std::unordered_set<std::uint32_t>& visited) {
    if (proceed && !proceed()) return MakeResult(ResultLib::HfsPlus, 12, kErrStopped);
    // Every node is visited once: a child pointing at itself or an ancestor
    // ends this branch as damage.
    if (depth >= kMaxDepth || !Mark(n, visited)) return HFS_ERROR(kErrInvalid);
    std::unique_ptr<CHFSPlusBTNode> node = CreateNode(n);
    if (!node) return m_result;
    const std::uint16_t count = node->GetRecordCount();
    switch (node->Descriptor().kind) {
    case kIndexNode:
        for (std::uint16_t i = 0; i < count; ++i) {
            if (proceed && !proceed()) return MakeResult(ResultLib::HfsPlus, 13, kErrStopped);
            const std::uint32_t child = GetChild(*node, i);
            if (child == 0) return m_result;
            if (ResultCode rc = TraverseNode(child, depth + 1, visit, proceed, visited)) return rc;
        }
        return 0;
    case kLeafNode:
        for (std::uint16_t i = 0; i < count; ++i) {
            if (proceed && !proceed()) return MakeResult(ResultLib::HfsPlus, 14, kErrStopped);
            const Bytes record = node->GetRecord(i);
            BTKey key;
            if (!KeyRead(record, key)) return m_result = MakeResult(ResultLib::HfsPlus, 15, kErrInvalid);
            const std::size_t at = DataOffset(key);
            if (at > record.size()) return m_result = MakeResult(ResultLib::HfsPlus, 16, kErrInvalid);
            if (!visit(key, record.subspan(at))) return 0;
        }
        return 0;
    default: return HFS_ERROR(kErrInvalid);
    }
}

// ---- diagnostic lines ------------------------------------------------------

void CHFSPlusBTreeOptionBase::KeyPrint(const BTKey& key) const {
    CatchExeception::WriteLog("key length %u fork %u file %u start %u\n", unsigned{key.keyLength},
                              unsigned{key.forkType}, static_cast<unsigned>(key.parentID),
                              static_cast<unsigned>(key.startBlock));
}

void CHFSPlusBTreeOptionBase::DataPrint(bytes::Bytes record) const {
    CatchExeception::WriteLog("record of %zu bytes\n", record.size());
}

void CHFSPlusCatalog::PrintKey(const BTKey& key) {
    CatchExeception::WriteLog("key length %u parent %u name %s\n", unsigned{key.keyLength},
                              static_cast<unsigned>(key.parentID), CatalogNameToUtf8(key.name).c_str());
}

void CHFSPlusCatalog::PrintData(bytes::Bytes record) {
    HFSPlusCatalogRecord r;
    if (!ReadCatalogRecord(record, r)) {
        CatchExeception::WriteLog("catalog record of %zu bytes, unreadable\n", record.size());
        return;
    }
    CatchExeception::WriteLog("catalog record type %d id %u\n", int{r.recordType}, static_cast<unsigned>(r.id));
}

void CHFSPlusAttribute::PrintKey(const BTKey& key) {
    CatchExeception::WriteLog("key length %u file %u start %u name %s\n", unsigned{key.keyLength},
                              static_cast<unsigned>(key.parentID), static_cast<unsigned>(key.startBlock),
                              CatalogNameToUtf8(key.name).c_str());
}

void CHFSPlusAttribute::PrintData(bytes::Bytes record) {
    HFSPlusAttrRecord r;
    if (!ReadAttributeRecord(record, r)) {
        CatchExeception::WriteLog("attribute record of %zu bytes, unreadable\n", record.size());
        return;
    }
    CatchExeception::WriteLog("attribute record type %u, %zu bytes of data\n", static_cast<unsigned>(r.recordType),
                              r.data.size());
}

std::vector<std::uint8_t> CHFSPlusCatalog::CloneRecord(bytes::Bytes record) {
    if (!bytes::Has(record, 0, 2)) return {};
    switch (bytes::Be16(record, 0)) {
    case 1: return SizedCopy(record, 88);
    case 2: return SizedCopy(record, 248);
    case 3:
    case 4: return SizedCopy(record, 520);
    default: return {};
    }
}

std::vector<std::uint8_t> CHFSPlusExtents::CloneRecord(bytes::Bytes record) {
    return record.empty() ? std::vector<std::uint8_t>{} : SizedCopy(record, 64);
}

std::vector<std::uint8_t> CHFSPlusAttribute::CloneRecord(bytes::Bytes record) {
    if (!bytes::Has(record, 0, 4)) return {};
    switch (bytes::Be32(record, 0)) {
    case 0x10: {
        // The stated size may be anything: the copy never passes the record.
        const std::uint64_t want = 16 + std::uint64_t{bytes::Be32(record, 12)};
        return SizedCopy(record, static_cast<std::size_t>(std::min<std::uint64_t>(want, std::max<std::size_t>(record.size(), 16))));
    }
    case 0x20: return SizedCopy(record, 88);
    case 0x30: return SizedCopy(record, 72);
    default: return {};
    }
}

} // namespace hfsplus
