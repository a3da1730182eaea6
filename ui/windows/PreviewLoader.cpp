#include "ui/windows/PreviewLoader.h"

#include "platform/MainThread.h"

namespace salvor::windows {

// What the thread needs; held by the loader and by its thread.
struct PreviewLoader::Shared {
    PreviewLoader::Fetch fetch;
    std::mutex mutex;
    std::condition_variable wake; // the loader waits for work
    std::deque<Job> jobs;
    int state = NeverStarted;
    bool quit = false;
    bool threadStarted = false;
    std::uint64_t jobsGeneration = 0; // generation of jobs, under mutex
    // Read and cleared on the main thread only: answers posted before the
    // loader went are dropped there.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    PreviewLoader* owner = nullptr; // dereferenced on the main thread while *alive
};

PreviewLoader::PreviewLoader(Fetch fetch, Deliver deliver, QObject* parent)
    : QObject(parent), deliver_(std::move(deliver)), shared_(std::make_shared<Shared>()) {
    shared_->fetch = std::move(fetch);
    shared_->owner = this;
}

PreviewLoader::~PreviewLoader() {
    *shared_->alive = false;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->quit = true;
        shared_->jobs.clear();
    }
    shared_->wake.notify_all();
}

int PreviewLoader::state() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->state;
}

void PreviewLoader::ensureThread() {
    // Under shared_->mutex. Detached: it holds what it needs.
    if (shared_->threadStarted) return;
    shared_->threadStarted = true;
    std::thread([shared = shared_] { run(shared); }).detach();
}

void PreviewLoader::start(std::vector<Job> jobs) {
    stop();
    {
        std::lock_guard lock(shared_->mutex);
        shared_->jobs.assign(jobs.begin(), jobs.end());
        shared_->jobsGeneration = generation_;
        shared_->state = shared_->jobs.empty() ? Stopped : Running;
        ensureThread();
    }
    shared_->wake.notify_all();
}

void PreviewLoader::enqueue(Job job) {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->state != Running) {
            shared_->jobs.clear();
            shared_->jobsGeneration = generation_;
            shared_->state = Running;
        }
        shared_->jobs.push_back(job);
        ensureThread();
    }
    shared_->wake.notify_all();
}

void PreviewLoader::stop() {
    ++generation_;
    std::lock_guard lock(shared_->mutex);
    if (shared_->state != Running) return;
    // What is queued goes; the file in hand finishes on the thread and its
    // answer, of an older generation now, is dropped.
    shared_->jobs.clear();
    shared_->state = Stopped;
}

void PreviewLoader::run(const std::shared_ptr<Shared>& shared) {
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->wake.wait(lock, [&] { return shared->quit || (shared->state == Running && !shared->jobs.empty()); });
        if (shared->quit) break;
        Job job = std::move(shared->jobs.front());
        shared->jobs.pop_front();
        const std::uint64_t generation = shared->jobsGeneration;
        lock.unlock();
        PreviewImage image = shared->fetch(job.file);
        // Queued, never waited for: the main thread waits for nothing here.
        // What kept the file goes here, on this thread, not with the answer.
        platform::postToMainThread([alive = shared->alive, owner = shared->owner, generation, index = job.index,
                                    file = job.file, image = std::move(image)] {
            if (!*alive || generation != owner->generation_) return;
            owner->deliver_(index, file, image);
        });
        job.keep.reset();
        lock.lock();
        if (shared->state == Running && shared->jobs.empty() && shared->jobsGeneration == generation)
            shared->state = Stopped;
    }
}

} // namespace salvor::windows
