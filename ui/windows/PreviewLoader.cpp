#include "ui/windows/PreviewLoader.h"

#include "platform/MainThread.h"

namespace salvor::windows {

PreviewLoader::PreviewLoader(Fetch fetch, Deliver deliver, QObject* parent)
    : QObject(parent), fetch_(std::move(fetch)), deliver_(std::move(deliver)) {}

PreviewLoader::~PreviewLoader() {
    *alive_ = false;
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

int PreviewLoader::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void PreviewLoader::start(std::vector<Job> jobs) {
    stop();
    {
        std::lock_guard lock(mutex_);
        jobs_.assign(jobs.begin(), jobs.end());
        jobsGeneration_ = generation_;
        state_ = jobs_.empty() ? Stopped : Running;
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    }
    wake_.notify_all();
}

void PreviewLoader::enqueue(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (state_ != Running) {
            jobs_.clear();
            jobsGeneration_ = generation_;
            state_ = Running;
        }
        jobs_.push_back(job);
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    }
    wake_.notify_all();
}

void PreviewLoader::stop() {
    ++generation_;
    std::unique_lock lock(mutex_);
    if (state_ != Running) return;
    state_ = StopAsked;
    wake_.notify_all();
    // The loader finishes at most the one file it holds.
    stopped_.wait(lock, [this] { return state_ != StopAsked; });
}

void PreviewLoader::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return quit_ || state_ == StopAsked || (state_ == Running && !jobs_.empty()); });
        if (quit_) break;
        if (state_ == StopAsked) {
            jobs_.clear();
            state_ = Stopped;
            stopped_.notify_all();
            continue;
        }
        const Job job = jobs_.front();
        jobs_.pop_front();
        const std::uint64_t generation = jobsGeneration_;
        lock.unlock();
        PreviewImage image = fetch_(job.file);
        post(generation, job, std::move(image));
        lock.lock();
        if (state_ == Running && jobs_.empty()) {
            state_ = Stopped;
            stopped_.notify_all();
        }
    }
    state_ = Stopped;
    stopped_.notify_all();
}

void PreviewLoader::post(std::uint64_t generation, Job job, PreviewImage image) {
    // Queued, never waited for: the main thread may itself be waiting in stop().
    platform::postToMainThread([this, alive = alive_, generation, job, image = std::move(image)] {
        if (!*alive || generation != generation_) return;
        deliver_(job.index, job.file, image);
    });
}

} // namespace salvor::windows
