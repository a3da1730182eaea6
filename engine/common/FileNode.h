#pragma once
// The base of every file system's node class: links, shown and tick state,
// data runs and the packed state word.
//
// The scan's worker links new nodes while the windows walk the found trees
// and a name search changes shown states. Links are published with release
// stores and read with acquire loads, so a node reached through a link is
// seen whole; the state word, the shown-children count and the tick sum are
// atomic, so concurrent changes of different bits never undo each other.
#include "engine/include/FileNode.h"

#include <atomic>
#include <cstdint>
#include <string>

class CFileNode : public IFilesystemNode {
public:
    CFileNode();
    ~CFileNode() override;

    // IFileNode
    int IsNodeShow() override;
    void ShowNode(int show) override;
    long long GetCurrentNodeID() override { return m_id; }
    long long GetParentNodeID() override { return m_parentId; }
    IFileNode* GetParent() override { return GetParentNode(); }
    IFileNode* GetFirstChild() override { return FirstChildNode(); }
    IFileNode* GetNextNode() override { return NextNode(); }
    _tagCheckedStatus GetCheckedStatus() override;
    void SetCheck(_tagCheckedStatus status) override;
    _tagSearcherType GetSearcheType() override { return SEARCHER_NONE; }
    const char* GetVolumeName() override { return nullptr; }
    int AddChild(IFileNode* child) override;
    int AddNext(IFileNode* next) override;
    void SetParentNodeID(long long id) override { m_parentId = id; }
    void Release() override { delete this; }

    // CFileNode
    virtual IFileReader* CreateCompressFileReader(void* /*context*/) { return nullptr; }
    virtual int IsCompressed() { return m_compressed != 0; }
    virtual void SetMetaDataSector(long long sector);
    virtual void FilterFileNameByDot() = 0;
    virtual void UpdateFileSize(long long /*size*/) {}
    virtual void UpdateNodeInfo() {}
    virtual void SetFileName(const char* /*name*/) {}
    // Bytes from the start that hold written data; the file system defines
    // the rest, up to the size, as zeros (NTFS's initialized size, exFAT's
    // valid data length).
    virtual long long GetInitializedSize() { return GetFileSize(); }
    // True when the file system says the file holds bytes that its size does
    // not count (a compressed file whose expanded size could not be read):
    // such a file is never written empty as if it were whole.
    virtual bool IsSizeUnknown() { return false; }
    // The directory-entry properties of node classes that keep them (FAT,
    // NTFS, carved); null for every other node.
    virtual IFileProperties* GetFileProperties() { return nullptr; }
    // Resident data the node carries itself (a loaded scan keeps what the
    // scan read from the record): true and up to size bytes from offset in
    // out (got counts them); false when it must be read from the device.
    virtual bool ReadHeldData(long long /*offset*/, char* /*out*/, unsigned /*size*/, unsigned& got) {
        got = 0;
        return false;
    }

    CFileNode* GetParentNode() const { return m_parent.load(std::memory_order_acquire); }
    CFileNode* FirstChildNode() const { return m_firstChild.load(std::memory_order_acquire); }
    CFileNode* NextNode() const { return m_next.load(std::memory_order_acquire); }
    void SetParent(CFileNode* parent) { m_parent.store(parent, std::memory_order_release); }
    int RemoveChild(CFileNode* child);
    // Links child right after after, one of this node's children (null: as
    // the first child). AddChild links a child first.
    int AddChildAfter(CFileNode* after, IFileNode* child);
    // 1 when c is among node's ancestors.
    static int IsLoopedToSelf(IFileNode* node, IFileNode* c);
    IDataRunList* GetDataRunList() const { return m_dataRuns; }
    // Takes ownership of runs (the previous list is released).
    void SetDataRunList(IDataRunList* runs);
    void SetBelongedPartition(std::uint16_t index);
    std::uint16_t GetBelongedPartition() const;
    long long GetMetadataStartPosition() const;
    void SetNodeID(long long id) { m_id = id; }
    void SetCompressed(unsigned v) { m_compressed = v; }
    unsigned GetShownChildren() const { return m_shownChildren.load(); }
    int GetTickSum() const { return m_tickSum.load(); }

    // The name without its leading blanks and dots.
    static std::string FilterFileNameByDot(const std::string& name);

    // Copies every field, links included.
    CFileNode& operator=(const CFileNode& other);
    // The duplicate test of the tree builder (see the .cpp).
    bool operator==(CFileNode& other);

protected:
    CFileNode(const CFileNode& other);
    // Called by operator== on a FAT node whose twin is a folder with another
    // name that is not older: the FAT node takes the twin's entry properties.
    virtual void TakeDuplicateProperties(CFileNode& /*other*/) {}
    // "" for a null name, so name getters never answer null.
    static const char* SafeName(const char* name) { return name ? name : ""; }

    std::atomic<CFileNode*> m_firstChild{nullptr};
    std::atomic<CFileNode*> m_next{nullptr};
    std::atomic<std::uint32_t> m_shownChildren{0};
    IDataRunList* m_dataRuns = nullptr;
    long long m_id = -1;
    long long m_parentId = -1;
    std::atomic<std::uint64_t> m_state{0xFFFFFFFFFFFFFF10ULL};
    std::atomic<CFileNode*> m_parent{nullptr};
    std::atomic<std::int32_t> m_tickSum{0};
    std::uint32_t m_compressed = 0;

private:
    // Replaces the bits of mask in the state word by bits, leaving the others
    // as another thread may have just set them.
    void SetStateBits(std::uint64_t mask, std::uint64_t bits);
    int ShownField() const;
    void SetShownField(int v);
    void SetCheckField(int v);
    void ShowParent(int delta);
    void SetParentStatus(int delta);
    void SetChildStatus(int status, bool walkSiblings);
};
