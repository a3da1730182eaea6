#include "tests/support/RecordingSinks.h"

namespace salvor::test {

void RecordingProgress::UpdateProgress(_PROGRESS_INFO* info) {
    if (!info)
        return;
    std::lock_guard lock(mutex_);
    reports_.push_back(*info);
}

int RecordingProgress::Continued() {
    std::lock_guard lock(mutex_);
    ++continuedCalls_;
    return (stopped_ || reports_.size() >= stopAfter_) ? 0 : 1;
}

int RecordingProgress::shouldBuild() {
    std::lock_guard lock(mutex_);
    return shouldBuild_;
}

void RecordingProgress::Stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
}

void RecordingProgress::StopAfter(std::size_t reports) {
    std::lock_guard lock(mutex_);
    stopAfter_ = reports;
}

void RecordingProgress::SetShouldBuild(int build) {
    std::lock_guard lock(mutex_);
    shouldBuild_ = build;
}

std::vector<_PROGRESS_INFO> RecordingProgress::Reports() const {
    std::lock_guard lock(mutex_);
    return reports_;
}

std::size_t RecordingProgress::Count() const {
    std::lock_guard lock(mutex_);
    return reports_.size();
}

_PROGRESS_INFO RecordingProgress::Last() const {
    std::lock_guard lock(mutex_);
    return reports_.empty() ? MakeProgress(0, 0, 0) : reports_.back();
}

std::size_t RecordingProgress::FinishedCount() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& r : reports_)
        n += r.state == PROGRESS_FINISHED;
    return n;
}

std::size_t RecordingProgress::ContinuedCalls() const {
    std::lock_guard lock(mutex_);
    return continuedCalls_;
}

void RecordingTree::ShowNodes(IFileNode** nodes, unsigned count, int lostBatch) {
    Batch batch;
    batch.lostBatch = lostBatch;
    for (unsigned i = 0; nodes && i < count; ++i) {
        batch.nodes.push_back(nodes[i]);
        const char* name = nodes[i] ? nodes[i]->GetFileName() : nullptr;
        batch.names.emplace_back(name ? name : "");
    }
    std::lock_guard lock(mutex_);
    batches_.push_back(std::move(batch));
}

int RecordingTree::ShowFilesystemNode(IFilesystemNode* root) {
    std::lock_guard lock(mutex_);
    roots_.push_back(root);
    switch (policy_) {
    case RootPolicy::All:
        return 1;
    case RootPolicy::None:
        return 0;
    case RootPolicy::Folders:
        break;
    }
    return root && root->IsDirectory() ? 1 : 0;
}

void RecordingTree::SetRootPolicy(RootPolicy policy) {
    std::lock_guard lock(mutex_);
    policy_ = policy;
}

std::vector<RecordingTree::Batch> RecordingTree::Batches() const {
    std::lock_guard lock(mutex_);
    return batches_;
}

std::vector<IFilesystemNode*> RecordingTree::Roots() const {
    std::lock_guard lock(mutex_);
    return roots_;
}

std::vector<IFileNode*> RecordingTree::AllNodes() const {
    std::lock_guard lock(mutex_);
    std::vector<IFileNode*> all;
    for (const auto& b : batches_)
        all.insert(all.end(), b.nodes.begin(), b.nodes.end());
    return all;
}

std::size_t RecordingTree::NodeCount() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& b : batches_)
        n += b.nodes.size();
    return n;
}

std::size_t RecordingTree::LostBatchCount() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& b : batches_)
        n += b.lostBatch != 0;
    return n;
}

} // namespace salvor::test
