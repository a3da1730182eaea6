#pragma once
// HFS+ B-trees: one node and its tests, and the tree walker (search from the
// root, recursive traversal) with one policy class per tree that decodes and
// orders its keys. Every child number read from disk is checked against the
// tree's size, a depth limit and the nodes already visited.
#include "engine/hfsplus/HfsPlusKeys.h"

#include <functional>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

namespace hfsplus {
class CHFSPlusRawfile;
}

namespace hfsplus {

enum : std::int8_t { kLeafNode = -1, kIndexNode = 0, kHeaderNode = 1, kMapNode = 2 };

struct BTNodeDescriptor {
    std::uint32_t fLink = 0, bLink = 0;
    std::int8_t kind = 0;
    std::uint8_t height = 0;
    std::uint16_t numRecords = 0;
};

struct BTHeaderRec {
    std::uint16_t treeDepth = 0;
    std::uint32_t rootNode = 0, leafRecords = 0, firstLeafNode = 0, lastLeafNode = 0;
    std::uint16_t nodeSize = 0, maxKeyLength = 0;
    std::uint32_t totalNodes = 0, freeNodes = 0;
    std::uint8_t btreeType = 0, keyCompareType = 0;
    std::uint32_t attributes = 0;
};

struct HFSPlusSearchResult {
    std::uint32_t node = 0;
    std::uint16_t index = 0;
    std::uint16_t found = 0;
};

class CHFSPlusBTNode {
public:
    // Takes a copy of size bytes; valid when IsValidNode accepts them.
    CHFSPlusBTNode(const unsigned char* bytes, std::size_t size);
    bool IsValid() const { return m_descriptor.has_value(); }
    ResultCode GetLastError() const { return m_result; }
    const BTNodeDescriptor& Descriptor() const { return *m_descriptor; }
    std::uint16_t GetRecordCount() const { return m_descriptor ? m_descriptor->numRecords : 0; }
    // Record index: its bytes up to the next record's offset; empty when out of range.
    bytes::Bytes GetRecord(std::uint16_t index) const;
    bytes::Bytes Data() const { return m_bytes; }
    // Which tree a node found outside any tree most likely belongs to: 4, 8, 3 or 0.
    int TestNodeBelongToFile() const;

    static bool IsValidNode(const unsigned char* bytes, std::size_t size);
    static bool IsValidCatalogThread(bytes::Bytes data);

private:
    std::vector<std::uint8_t> m_bytes;
    std::optional<BTNodeDescriptor> m_descriptor;
    ResultCode m_result = 0;
};

// Visits one leaf record; false stops the traversal.
using LeafVisitor = std::function<bool(const BTKey& key, bytes::Bytes data)>;
// Asked before each record; false stops with error 0xD.
using ContinueCheck = std::function<bool()>;

class CHFSPlusBTreeOptionBase {
public:
    // Reads the header node of the tree held by file (not owned).
    CHFSPlusBTreeOptionBase(CHFSPlusRawfile* file, std::uint32_t fileId);
    virtual ~CHFSPlusBTreeOptionBase() = default;
    CHFSPlusBTreeOptionBase(const CHFSPlusBTreeOptionBase&) = delete;
    CHFSPlusBTreeOptionBase& operator=(const CHFSPlusBTreeOptionBase&) = delete;

    virtual int Compare(const BTKey& a, const BTKey& b) const = 0;
    virtual bool KeyRead(bytes::Bytes record, BTKey& key) const = 0;
    // Where a leaf record's data starts.
    virtual std::size_t DataOffset(const BTKey& key) const { return std::size_t{key.keyLength} + 2; }
    // One line about a key or a leaf record, into the log (diagnosis only).
    virtual void KeyPrint(const BTKey& key) const;
    virtual void DataPrint(bytes::Bytes record) const;

    ResultCode GetLastError() const { return m_result; }
    const std::optional<BTHeaderRec>& GetHeaderRec() const { return m_header; }
    std::uint32_t GetRoot();
    // Node n, or null (the last error says why).
    std::unique_ptr<CHFSPlusBTNode> CreateNode(std::uint32_t n);
    // The child number after record i's key of an index node; 0 when none.
    std::uint32_t GetChild(const CHFSPlusBTNode& node, std::uint16_t i);

    // Descends from the root to the leaf that holds key. Answers 0 with
    // result.found 1 (and the record's data bytes when data is given) or 0
    // with found 0 (not present); a failure code on damage.
    ResultCode Search(const BTKey& key, HFSPlusSearchResult& result, std::vector<std::uint8_t>* data = nullptr);
    // Visits every leaf record under the root, in key order.
    ResultCode Traverse(const LeafVisitor& visit, const ContinueCheck& proceed);

    static constexpr unsigned kMaxDepth = 16;

protected:
    ResultCode TraverseNode(std::uint32_t n, unsigned depth, const LeafVisitor& visit, const ContinueCheck& proceed,
                            std::unordered_set<std::uint32_t>& visited);
    bool Mark(std::uint32_t n, std::unordered_set<std::uint32_t>& visited) const;

    CHFSPlusRawfile* m_file;
    std::uint32_t m_fileId;
    ResultCode m_result = 0;
    std::uint32_t m_nodeSize = 0;
    std::optional<BTHeaderRec> m_header;
};

class CHFSPlusCatalog : public CHFSPlusBTreeOptionBase {
public:
    explicit CHFSPlusCatalog(CHFSPlusRawfile* file) : CHFSPlusBTreeOptionBase(file, kCatalogFileId) {}
    int Compare(const BTKey& a, const BTKey& b) const override {
        return CompareCatalogKey(a, b, m_header ? m_header->keyCompareType : 0);
    }
    bool KeyRead(bytes::Bytes record, BTKey& key) const override { return ReadCatalogKey(record, key); }
    void KeyPrint(const BTKey& key) const override { PrintKey(key); }
    void DataPrint(bytes::Bytes record) const override { PrintData(record); }
    static void PrintKey(const BTKey& key);
    static void PrintData(bytes::Bytes record);
    // A copy of the stored record sized by its type (88, 248 or 520 bytes),
    // what the record lacks left zero; empty for another type.
    static std::vector<std::uint8_t> CloneRecord(bytes::Bytes record);
};

class CHFSPlusExtents : public CHFSPlusBTreeOptionBase {
public:
    explicit CHFSPlusExtents(CHFSPlusRawfile* file) : CHFSPlusBTreeOptionBase(file, kExtentsFileId) {}
    int Compare(const BTKey& a, const BTKey& b) const override { return CompareExtentKey(a, b); }
    bool KeyRead(bytes::Bytes record, BTKey& key) const override { return ReadExtentKey(record, key); }
    std::size_t DataOffset(const BTKey&) const override { return 12; }
    // A copy of an extent record (eight descriptors, 64 bytes).
    static std::vector<std::uint8_t> CloneRecord(bytes::Bytes record);
};

class CHFSPlusAttribute : public CHFSPlusBTreeOptionBase {
public:
    explicit CHFSPlusAttribute(CHFSPlusRawfile* file) : CHFSPlusBTreeOptionBase(file, kAttributesFileId) {}
    int Compare(const BTKey& a, const BTKey& b) const override { return CompareAttributeKey(a, b); }
    bool KeyRead(bytes::Bytes record, BTKey& key) const override { return ReadAttributeKey(record, key); }
    void KeyPrint(const BTKey& key) const override { PrintKey(key); }
    void DataPrint(bytes::Bytes record) const override { PrintData(record); }
    static void PrintKey(const BTKey& key);
    static void PrintData(bytes::Bytes record);
    // A copy sized by the record's type: inline data 16 + its size (never
    // more than the bytes given), fork data 88, extents 72; empty otherwise.
    static std::vector<std::uint8_t> CloneRecord(bytes::Bytes record);
    // Attribute data is never taken from outside a tree: no test can vouch for it.
    static bool IsValidAttrData(bytes::Bytes) { return false; }
};

} // namespace hfsplus
