#pragma once
// Recording sinks for scans and recoveries: a progress sink that keeps every
// report and can ask to stop, and a node sink that keeps every batch.
#include "engine/include/Progress.h"
#include "engine/include/SearchInterfaces.h"

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace salvor::test {

// f() under the lock m.
template <class F>
auto Locked(std::mutex& m, F f) {
    std::lock_guard lock(m);
    return f();
}

class RecordingProgress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO* info) override {
        if (info) Locked(mutex_, [&] { reports_.push_back(*info); });
    }
    // 0 once Stop() was called or once StopAfter(n) reports have arrived.
    int Continued() override {
        return Locked(mutex_, [&] { return (stopped_ || reports_.size() >= stopAfter_) ? 0 : 1; });
    }
    int shouldBuild() override { return Locked(mutex_, [&] { return shouldBuild_; }); }

    void Stop() { Locked(mutex_, [&] { stopped_ = true; }); }
    void StopAfter(std::size_t reports) { Locked(mutex_, [&] { stopAfter_ = reports; }); }
    void SetShouldBuild(int build) { Locked(mutex_, [&] { shouldBuild_ = build; }); }

    std::vector<_PROGRESS_INFO> Reports() const { return Locked(mutex_, [&] { return reports_; }); }
    std::size_t Count() const { return Locked(mutex_, [&] { return reports_.size(); }); }
    // The last report, or a zeroed record when none came.
    _PROGRESS_INFO Last() const {
        return Locked(mutex_, [&] { return reports_.empty() ? MakeProgress(0, 0, 0) : reports_.back(); });
    }
    // Reports with state 3.
    std::size_t FinishedCount() const {
        return Locked(mutex_, [&] {
            return std::size_t(std::count_if(reports_.begin(), reports_.end(),
                                             [](const _PROGRESS_INFO& r) { return r.state == PROGRESS_FINISHED; }));
        });
    }

private:
    mutable std::mutex mutex_;
    std::vector<_PROGRESS_INFO> reports_;
    std::size_t stopAfter_ = static_cast<std::size_t>(-1);
    bool stopped_ = false;
    int shouldBuild_ = 1;
};

class RecordingTree : public IDrirectoryTree {
public:
    struct Batch {
        std::vector<IFileNode*> nodes;
        std::vector<std::string> names; // names as they were when shown
        int lostBatch = 0;
    };

    void ShowNodes(IFileNode** nodes, unsigned count, int lostBatch) override;
    // Records every root offered; answers 1 for folders only, as the application does.
    int ShowFilesystemNode(IFilesystemNode* root) override;

    std::vector<Batch> Batches() const { return Locked(mutex_, [&] { return batches_; }); }
    std::vector<IFilesystemNode*> Roots() const { return Locked(mutex_, [&] { return roots_; }); }
    // Every node of every batch, in the order shown.
    std::vector<IFileNode*> AllNodes() const;
    std::size_t NodeCount() const { return AllNodes().size(); }
    std::size_t LostBatchCount() const {
        return Locked(mutex_, [&] {
            return std::size_t(std::count_if(batches_.begin(), batches_.end(), [](auto& b) { return b.lostBatch; }));
        });
    }

private:
    mutable std::mutex mutex_;
    std::vector<Batch> batches_;
    std::vector<IFilesystemNode*> roots_;
};

} // namespace salvor::test
