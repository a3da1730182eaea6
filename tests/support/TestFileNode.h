#pragma once
// A plain node for tests of the node model, the tree builder and the writer.
#include "engine/common/FileNode.h"

#include <string>

namespace salvor::test {

class TestFileNode : public CFileNode {
public:
    TestFileNode(long long id, long long parentId, std::string name, bool dir = false, long long size = 0)
        : m_name(std::move(name)), m_dir(dir), m_size(size) {
        m_id = id;
        m_parentId = parentId;
    }

    const char* GetFileName() override { return m_name.c_str(); }
    long long GetFileSize() override { return m_size; }
    unsigned GetAttribute() override { return m_dir ? 0x10 : 0x20; }
    _FILETIME GetCreationTime() override { return m_created; }
    _FILETIME GetModificationTime() override { return m_modified; }
    _FILETIME GetLastAccessTime() override { return m_accessed; }
    int IsDirectory() override { return m_dir; }
    int IsDeleted() override { return m_deleted; }
    _tagSearcherType GetSearcheType() override { return m_type; }
    IFileNode* Clone() override { return new TestFileNode(*this); }
    void MarkDeleted() override { m_deleted = true; }
    void FilterFileNameByDot() override { m_name = CFileNode::FilterFileNameByDot(m_name); }
    void UpdateFileSize(long long size) override { m_size = size; }
    long long GetInitializedSize() override { return m_initialized < 0 ? m_size : m_initialized; }
    void SetFileName(const char* name) override { m_name = name ? name : ""; }

    std::string m_name;
    bool m_dir;
    long long m_size;
    long long m_initialized = -1; // below 0: the whole size
    bool m_deleted = false;
    _tagSearcherType m_type = SEARCHER_NONE;
    _FILETIME m_created{}, m_modified{}, m_accessed{};

protected:
    TestFileNode(const TestFileNode&) = default;
};

} // namespace salvor::test
