#pragma once
// Small found trees on the real node model: a file-system root made as the
// tree builder makes it, folders and files linked under it, all owned here.
#include "engine/tree/FilesystemNode.h"
#include "tests/support/TestFileNode.h"

#include <memory>
#include <string>
#include <vector>

namespace salvor::test {

// A node whose links can be set to anything, loops included.
class LinkedNode : public TestFileNode {
public:
    using TestFileNode::TestFileNode;
    IFileNode* GetParent() override { return parentLink; }
    IFileNode* GetFirstChild() override { return childLink; }
    IFileNode* GetNextNode() override { return nextLink; }
    IFileNode* parentLink = nullptr;
    IFileNode* childLink = nullptr;
    IFileNode* nextLink = nullptr;
};

class NodeForest {
public:
    CFilesystemNode* Root(_tagSearcherType type, const std::string& volume) {
        auto node = std::make_unique<CFilesystemNode>(type, volume + "(root)", volume, ++m_id);
        CFilesystemNode* raw = node.get();
        m_nodes.push_back(std::move(node));
        return raw;
    }
    TestFileNode* Add(CFileNode* parent, const std::string& name, bool dir = false, long long size = 0) {
        auto node = std::make_unique<TestFileNode>(++m_id, parent ? parent->GetCurrentNodeID() : -1, name, dir, size);
        TestFileNode* raw = node.get();
        if (parent) parent->AddChild(raw);
        m_nodes.push_back(std::move(node));
        return raw;
    }
    LinkedNode* Linked(const std::string& name, bool dir = false) {
        auto node = std::make_unique<LinkedNode>(++m_id, -1, name, dir);
        LinkedNode* raw = node.get();
        m_nodes.push_back(std::move(node));
        return raw;
    }

private:
    long long m_id = 0;
    std::vector<std::unique_ptr<CFileNode>> m_nodes;
};

// A file time of a local calendar date at noon.
_FILETIME LocalFileTime(int year, int month, int day);

} // namespace salvor::test
