#include "tests/support/RecordingSinks.h"

namespace salvor::test {

void RecordingTree::ShowNodes(IFileNode** nodes, unsigned count, int lostBatch) {
    Batch batch;
    batch.lostBatch = lostBatch;
    for (unsigned i = 0; nodes && i < count; ++i) {
        batch.nodes.push_back(nodes[i]);
        const char* name = nodes[i] ? nodes[i]->GetFileName() : nullptr;
        batch.names.emplace_back(name ? name : "");
    }
    Locked(mutex_, [&] { batches_.push_back(std::move(batch)); });
}

int RecordingTree::ShowFilesystemNode(IFilesystemNode* root) {
    Locked(mutex_, [&] { roots_.push_back(root); });
    return root && root->IsDirectory() ? 1 : 0;
}

std::vector<IFileNode*> RecordingTree::AllNodes() const {
    std::lock_guard lock(mutex_);
    std::vector<IFileNode*> all;
    for (const auto& b : batches_) all.insert(all.end(), b.nodes.begin(), b.nodes.end());
    return all;
}

} // namespace salvor::test
