#pragma once
// Recording sinks for scans and recoveries: a progress sink that keeps every
// report and can ask to stop, and a node sink that keeps every batch.
#include "engine/include/Progress.h"
#include "engine/include/SearchInterfaces.h"

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace salvor::test {

class RecordingProgress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO* info) override;
    // 0 once Stop() was called or once StopAfter(n) reports have arrived.
    int Continued() override;
    int shouldBuild() override;

    void Stop();
    void StopAfter(std::size_t reports);
    void SetShouldBuild(int build);

    std::vector<_PROGRESS_INFO> Reports() const;
    std::size_t Count() const;
    // The last report, or a zeroed record when none came.
    _PROGRESS_INFO Last() const;
    // Reports with state 3.
    std::size_t FinishedCount() const;
    // How many times Continued() was asked.
    std::size_t ContinuedCalls() const;

private:
    mutable std::mutex mutex_;
    std::vector<_PROGRESS_INFO> reports_;
    std::size_t stopAfter_ = static_cast<std::size_t>(-1);
    bool stopped_ = false;
    int shouldBuild_ = 1;
    std::size_t continuedCalls_ = 0;
};

class RecordingTree : public IDrirectoryTree {
public:
    enum class RootPolicy { Folders, All, None };

    struct Batch {
        std::vector<IFileNode*> nodes;
        std::vector<std::string> names; // names as they were when shown
        int lostBatch = 0;
    };

    void ShowNodes(IFileNode** nodes, unsigned count, int lostBatch) override;
    // Records every root offered; answers 1 as the policy says (by default
    // only for folders, as the application does).
    int ShowFilesystemNode(IFilesystemNode* root) override;

    void SetRootPolicy(RootPolicy policy);

    std::vector<Batch> Batches() const;
    std::vector<IFilesystemNode*> Roots() const;
    // Every node of every batch, in the order shown.
    std::vector<IFileNode*> AllNodes() const;
    std::size_t NodeCount() const;
    std::size_t LostBatchCount() const;

private:
    mutable std::mutex mutex_;
    std::vector<Batch> batches_;
    std::vector<IFilesystemNode*> roots_;
    RootPolicy policy_ = RootPolicy::Folders;
};

} // namespace salvor::test
