#pragma once
// The background loader of the results window's previews (the strip and the
// grid each own one). It fetches previews through a function that runs on the
// loader's own thread, one file at a time, and hands each answer to the main
// thread without waiting for it.
//
// States: -1 never started, 0 running, 1 stop asked, 2 stopped. The window
// never waits for the device: stop() drops what is queued and returns at
// once; a file whose read is in flight is left to finish on the loader's
// thread and its answer is dropped. The loader works on the list of
// (index, file) it was given, never on the window's own lists, so the window
// may change them once stop() returned. Every start and stop begins a new
// generation; answers of an older one are dropped on the main thread.
//
// The thread's state is shared with it, not owned by the loader: a loader
// destroyed while a read hangs lets its thread go, and the thread ends on
// its own once the read returns, touching nothing of the loader.
#include "services/UIController.h"

#include <QObject>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class IFileNode;

namespace salvor::windows {

class PreviewLoader : public QObject {
    Q_OBJECT
public:
    enum State : int { NeverStarted = -1, Running = 0, StopAsked = 1, Stopped = 2 };

    struct Job {
        std::int64_t index = 0;
        IFileNode* file = nullptr;
        // Keeps file alive until its fetch is done (KeepFoundFiles).
        std::shared_ptr<const void> keep;
    };
    // Runs on the loader's thread; it may outlive the loader (see above).
    using Fetch = std::function<PreviewImage(IFileNode*)>;
    // Runs on the main thread for every file of the current generation, with
    // what the fetch answered (possibly nothing).
    using Deliver = std::function<void(std::int64_t index, IFileNode* file, const PreviewImage& image)>;

    PreviewLoader(Fetch fetch, Deliver deliver, QObject* parent = nullptr);
    // Asks the thread to end and returns without waiting for it.
    ~PreviewLoader() override;

    // Stops a running load, then loads jobs in order (main thread).
    void start(std::vector<Job> jobs);
    // Adds one job to the running load, or starts a load with it (main thread).
    void enqueue(Job job);
    // See above (main thread); never waits.
    void stop();

    int state() const;
    std::uint64_t generation() const { return generation_; }

private:
    struct Shared;
    static void run(const std::shared_ptr<Shared>& shared);
    void ensureThread();

    Deliver deliver_;
    std::uint64_t generation_ = 0; // main thread's current generation
    std::shared_ptr<Shared> shared_;
};

} // namespace salvor::windows
