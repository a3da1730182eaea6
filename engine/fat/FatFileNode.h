#pragma once
// The node of searcher type 32: a CFileNode that owns one CFATFileProperties
// and forwards its file facts to them.
#include "engine/common/FileNode.h"
#include "engine/fat/FatFileProperties.h"

class CFATFileNode : public CFileNode {
public:
    CFATFileNode() = default;
    ~CFATFileNode() override;

    const char* GetFileName() override;
    long long GetFileSize() override;
    unsigned GetAttribute() override;
    _FILETIME GetCreationTime() override;
    _FILETIME GetModificationTime() override;
    _FILETIME GetLastAccessTime() override;
    int IsDirectory() override;
    int IsDeleted() override;
    _tagSearcherType GetSearcheType() override { return SEARCHER_FAT; }
    // A new node with a copy of the properties and of the run list; the ids,
    // partition index and metadata position are kept, the links are not.
    IFileNode* Clone() override;
    void MarkDeleted() override;
    void FilterFileNameByDot() override;
    void SetFileName(const char* name) override;

    // Takes the properties (they must be CFATFileProperties; others are
    // destroyed and refused) and sets the node id, parent id and metadata
    // position from their first cluster, parent first cluster and metadata sector.
    bool SetFileProperties(IFileProperties* properties);
    CFATFileProperties* GetFileProperties() const { return m_properties; }
    void SetCurrentNodeID(long long id) { SetNodeID(id); }
    void DelDataRunList() { SetDataRunList(nullptr); }

protected:
    void TakeDuplicateProperties(CFileNode& other) override;

private:
    CFATFileProperties* m_properties = nullptr;
};
