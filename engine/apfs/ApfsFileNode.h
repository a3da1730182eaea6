#pragma once
// A file or folder found by the APFS deep scan. Besides the node model it
// keeps what the record matching needs: the APFS ids, the block where it was
// last met, an extent map from which its data runs are rebuilt, and the links
// by which folders collect their children during the scan.
//
// Ownership: a node is shared. Its container reader holds one reference for
// the whole scan; the tree builder holds another from the moment it accepts
// the node. Release() drops one, and the last one frees the node, so neither
// the reader nor the builder can leave the other holding a freed node,
// whichever of them is destroyed first.
#include "engine/common/FileNode.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

namespace apfs {

class APFSFileNode : public CFileNode {
public:
    enum : std::uint8_t {
        kDirectory = 1,
        kDeleted = 2,
        kDelivered = 4,
        kSizeComplete = 8,
        kKindFixed = 16,
        kDuplicate = 32, // a directory merged into its twin
        kParentSet = 64,
    };
    struct Extent {
        std::uint64_t start = 0; // sector from the container start
        std::uint64_t count = 0; // sectors
    };

    APFSFileNode();

    // IFileNode
    const char* GetFileName() override { return m_name.c_str(); }
    long long GetFileSize() override { return static_cast<long long>(m_size); }
    unsigned GetAttribute() override { return IsDir() ? 16 : 32; }
    _FILETIME GetCreationTime() override { return TimeConvert(created); }
    _FILETIME GetModificationTime() override { return TimeConvert(modified); }
    _FILETIME GetLastAccessTime() override { return TimeConvert(accessed); }
    int IsDirectory() override { return IsDir() ? -1 : 0; }
    int IsDeleted() override { return (m_flags & kDeleted) ? -1 : 0; }
    void SetParentNodeID(long long id) override;
    IFileNode* Clone() override;
    void Release() override;
    void MarkDeleted() override { m_flags |= kDeleted; }
    void FilterFileNameByDot() override {}

    void AddRef() { m_refs.fetch_add(1, std::memory_order_relaxed); }

    bool IsDir() const { return (m_flags & kDirectory) != 0; }
    bool Has(std::uint8_t flag) const { return (m_flags & flag) != 0; }
    void Set(std::uint8_t flag) { m_flags |= flag; }

    // Fixes the kind once; later calls change nothing.
    void SetDirectory(bool directory);
    // Stores a name read from disk through the naming rules below.
    void SetFileName(const char* name, std::size_t length);
    // A name given by the engine (a restored recycle-bin name) as it stands.
    void SetFileName(const char* name) override {
        if (name) m_name = name;
    }
    const std::string& Name() const { return m_name; }
    void SetName(std::string name) { m_name = std::move(name); }
    // Nothing for a node that has a size and is not deleted.
    void SetSize(std::uint64_t size);
    std::uint64_t Size() const { return m_size; }

    // Adds an extent at a logical byte offset and rebuilds the data runs;
    // answers whether the extents now cover the size.
    bool AddExtent(std::uint64_t start, std::uint64_t count, std::uint32_t sectorSize, std::uint64_t offset);
    const std::map<std::uint64_t, Extent>& Extents() const { return m_extents; }
    // Links child under this folder (or the folder it was merged into).
    void LinkChild(APFSFileNode* child);
    // Whether the node is complete enough for the tree builder; with force,
    // a node without any parent id is given the container's fallback parent.
    bool IsReadyToDeliver(bool force);

    // The naming rules: ".DS_Store" (with its NUL) is no name; every other
    // name is kept as stored, leading dot included. Answers the name to store.
    static std::string NameFromDisk(const char* name, std::size_t length);
    // Nanoseconds since 1970 as 100-ns units since 1601, seconds whole; 0 stays 0.
    static _FILETIME TimeConvert(std::uint64_t ns);

    std::uint64_t created = 0, modified = 0, accessed = 0; // ns since 1970; 0 none
    std::uint64_t block = 0;    // where the node was last matched or made
    std::uint64_t objectId = 0; // composite id of its record
    long long apfsParent = -1;  // composite parent id; -1 none
    APFSFileNode* parentDir = nullptr;
    APFSFileNode* firstLinked = nullptr;
    APFSFileNode* nextLinked = nullptr;
    APFSFileNode* twin = nullptr;
    std::uint64_t serial = 0; // order of making, for a stable pending order

private:
    APFSFileNode(const APFSFileNode& other);
    ~APFSFileNode() override = default;
    void RebuildRuns();
    // Sum of the extents' sectors times the sector size, saturated.
    std::uint64_t ExtentBytes(std::uint32_t sectorSize) const;

    std::atomic<int> m_refs{1};
    std::string m_name;
    std::uint64_t m_size = 0;
    std::uint8_t m_flags = 0;
    std::map<std::uint64_t, Extent> m_extents;
};

} // namespace apfs
