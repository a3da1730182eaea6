#pragma once
// The base of every file system's node class: links, shown and tick state,
// data runs and the packed state word.
#include "engine/include/FileNode.h"

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
    IFileNode* GetParent() override { return m_parent; }
    IFileNode* GetFirstChild() override { return m_firstChild; }
    IFileNode* GetNextNode() override { return m_next; }
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
    // The directory-entry properties of node classes that keep them (FAT,
    // NTFS, carved); null for every other node.
    virtual IFileProperties* GetFileProperties() { return nullptr; }

    CFileNode* GetParentNode() const { return m_parent; }
    CFileNode* FirstChildNode() const { return m_firstChild; }
    CFileNode* NextNode() const { return m_next; }
    void SetParent(CFileNode* parent) { m_parent = parent; }
    int RemoveChild(CFileNode* child);
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
    unsigned GetShownChildren() const { return m_shownChildren; }
    int GetTickSum() const { return m_tickSum; }

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

    CFileNode* m_firstChild = nullptr;
    CFileNode* m_next = nullptr;
    std::uint32_t m_shownChildren = 0;
    IDataRunList* m_dataRuns = nullptr;
    long long m_id = -1;
    long long m_parentId = -1;
    std::uint64_t m_state = 0xFFFFFFFFFFFFFF10ULL;
    CFileNode* m_parent = nullptr;
    std::int32_t m_tickSum = 0;
    std::uint32_t m_compressed = 0;

private:
    int ShownField() const;
    void SetShownField(int v);
    void SetCheckField(int v);
    void ShowParent(int delta);
    void SetParentStatus(int delta);
    void SetChildStatus(int status, bool walkSiblings);
};
