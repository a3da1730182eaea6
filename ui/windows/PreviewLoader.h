#pragma once
// The background loader of the results window's previews (the strip and the
// grid each own one). It fetches previews through a function that runs on the
// loader's own thread, one file at a time, and hands each answer to the main
// thread without waiting for it.
//
// States: -1 never started, 0 running, 1 stop asked, 2 stopped. stop() asks
// a running loader to stop and sleeps on a condition variable until the
// loader has left its current file; it returns at once in any other state.
// The loader works on the list of (index, file) it was given, never on the
// window's own lists, so the window may change them once stop() returned.
// Every start and stop begins a new generation; answers of an older one that
// are still on their way to the main thread are dropped there.
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
    };
    // Runs on the loader's thread.
    using Fetch = std::function<PreviewImage(IFileNode*)>;
    // Runs on the main thread for every file of the current generation, with
    // what the fetch answered (possibly nothing).
    using Deliver = std::function<void(std::int64_t index, IFileNode* file, const PreviewImage& image)>;

    PreviewLoader(Fetch fetch, Deliver deliver, QObject* parent = nullptr);
    // Stops and joins the thread.
    ~PreviewLoader() override;

    // Stops a running load, then loads jobs in order (main thread).
    void start(std::vector<Job> jobs);
    // Adds one job to the running load, or starts a load with it (main thread).
    void enqueue(Job job);
    // See above (main thread).
    void stop();

    int state() const;
    std::uint64_t generation() const { return generation_; }

private:
    void run();
    void post(std::uint64_t generation, Job job, PreviewImage image);

    Fetch fetch_;
    Deliver deliver_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;    // the loader waits for work
    std::condition_variable stopped_; // stop() waits for the loader
    std::deque<Job> jobs_;
    int state_ = NeverStarted;
    bool quit_ = false;
    std::uint64_t generation_ = 0;  // main thread's current generation
    std::uint64_t jobsGeneration_ = 0; // generation of jobs_, under mutex_
    std::thread thread_;
    // Read and cleared on the main thread only: answers posted before the
    // loader went are dropped.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace salvor::windows
