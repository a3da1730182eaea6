// The recording builder of fs_Scan.h.
#include "tests/support/fs_Scan.h"

#include <map>

namespace salvor::test {

RecordingBuilder::~RecordingBuilder() {
    for (IFileNode* n : nodes)
        n->Release();
}

int RecordingBuilder::AddNode(IFileNode* node, _tagSearcherType type) {
    if (!node || (refuseFrom >= 0 && static_cast<int>(nodes.size()) >= refuseFrom)) return 0;
    nodes.push_back(node);
    types.push_back(type);
    return 1;
}

std::string RecordingBuilder::PathOf(IFileNode* node) const {
    std::map<long long, IFileNode*> folders;
    for (IFileNode* n : nodes)
        if (n->IsDirectory()) folders.emplace(n->GetCurrentNodeID(), n);
    std::string path = node->GetFileName();
    for (long long parent = node->GetParentNodeID(), guard = 0; parent != rootId; ++guard) {
        auto it = folders.find(parent);
        if (it == folders.end() || guard > 64) return "?/" + path;
        path = std::string(it->second->GetFileName()) + "/" + path;
        parent = it->second->GetParentNodeID();
    }
    return path;
}

Entries RecordingBuilder::Found() const {
    Entries out;
    for (IFileNode* n : nodes)
        out.insert({n->IsDirectory() ? 'd' : 'r', n->IsDeleted() != 0, PathOf(n)});
    return out;
}

IFileNode* RecordingBuilder::Find(const std::string& path) const {
    for (IFileNode* n : nodes)
        if (PathOf(n) == path) return n;
    return nullptr;
}

} // namespace salvor::test
