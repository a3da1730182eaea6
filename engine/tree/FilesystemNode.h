#pragma once
// The root of one found tree, and the folder of lost files under it.
#include "engine/common/FileNode.h"

#include <string>

class CFilesystemNode : public CFileNode {
public:
    CFilesystemNode(_tagSearcherType type, std::string name, std::string volumeName, long long id);

    const char* GetFileName() override { return m_name.c_str(); }
    long long GetFileSize() override { return 0; }
    unsigned GetAttribute() override { return 0; }
    _FILETIME GetCreationTime() override { return {}; }
    _FILETIME GetModificationTime() override { return {}; }
    _FILETIME GetLastAccessTime() override { return {}; }
    int IsDirectory() override { return 1; }
    int IsDeleted() override { return 0; }
    _tagSearcherType GetSearcheType() override { return m_type; }
    const char* GetVolumeName() override { return m_volumeName.c_str(); }
    IFileNode* Clone() override { return new CFilesystemNode(*this); }
    void MarkDeleted() override {}
    void FilterFileNameByDot() override {}

private:
    CFilesystemNode(const CFilesystemNode& other) = default;

    _tagSearcherType m_type;
    std::string m_name;
    std::string m_volumeName;
};
