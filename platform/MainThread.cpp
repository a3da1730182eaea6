#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace salvor::platform {

bool isMainThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

namespace {

// Posted work waits in a queue of our own, and the queued call that runs it
// carries nothing. The work is handed over under this queue's lock, which
// ThreadSanitizer sees (QtCore's own queue lock it does not), so the checks
// of the threads that post keep to real races.
struct PostedWork {
    std::mutex mutex;
    std::deque<std::function<void()>> queue;
};

PostedWork& Posted() {
    static PostedWork* const posted = new PostedWork;
    return *posted;
}

void RunNextPosted() {
    std::function<void()> fn;
    {
        std::lock_guard<std::mutex> lock(Posted().mutex);
        if (Posted().queue.empty()) return;
        fn = std::move(Posted().queue.front());
        Posted().queue.pop_front();
    }
    fn();
}

} // namespace

bool postToMainThread(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !fn) return false;
    // A queued call is an event in the application object's thread, so it
    // always waits for the loop, whichever thread asks. Queued under the
    // lock, one call per entry: the calls run the entries in order.
    PostedWork& posted = Posted();
    std::lock_guard<std::mutex> lock(posted.mutex);
    if (!QMetaObject::invokeMethod(app, [] { RunNextPosted(); }, Qt::QueuedConnection)) return false;
    posted.queue.push_back(std::move(fn));
    return true;
}

namespace {

struct Perform {
    std::function<void()> fn;
    const void* target = nullptr;
    QTimer* timer = nullptr; // main thread only
};

struct PerformRegistry {
    std::mutex mutex;
    PerformId next = 1;
    std::map<PerformId, std::shared_ptr<Perform>> pending;
};

PerformRegistry& registry() {
    static PerformRegistry r;
    return r;
}

// Takes a request out of the registry; null when it ran or was cancelled.
std::shared_ptr<Perform> take(PerformId id) {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.pending.find(id);
    if (it == r.pending.end()) return nullptr;
    auto p = std::move(it->second);
    r.pending.erase(it);
    return p;
}

void disarm(const std::shared_ptr<Perform>& p) {
    // Timers live on the main thread; elsewhere the timer finds the request
    // gone when it fires and only deletes itself.
    if (p && p->timer && isMainThread()) {
        p->timer->stop();
        p->timer->deleteLater();
        p->timer = nullptr;
    }
}

} // namespace

PerformId performAfterDelay(std::chrono::milliseconds delay, std::function<void()> fn, const void* target) {
    if (!QCoreApplication::instance() || !fn) return 0;
    auto p = std::make_shared<Perform>();
    p->fn = std::move(fn);
    p->target = target;
    PerformId id;
    {
        auto& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        id = r.next++;
        r.pending.emplace(id, p);
    }
    const int ms = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, delay.count()));
    const bool queued = postToMainThread([id, ms] {
        std::shared_ptr<Perform> req;
        {
            auto& r = registry();
            std::lock_guard<std::mutex> lock(r.mutex);
            auto it = r.pending.find(id);
            if (it == r.pending.end()) return; // cancelled before it was armed
            req = it->second;
            auto* timer = new QTimer(QCoreApplication::instance());
            timer->setSingleShot(true);
            req->timer = timer;
        }
        QTimer* timer = req->timer;
        QObject::connect(timer, &QTimer::timeout, timer, [id, timer] {
            timer->deleteLater();
            std::shared_ptr<Perform> run = take(id);
            if (!run) return;
            run->timer = nullptr;
            run->fn();
        });
        timer->start(ms);
    });
    if (!queued) {
        take(id);
        return 0;
    }
    return id;
}

void cancelPerform(PerformId id) { disarm(take(id)); }

void cancelPerforms(const void* target) {
    std::vector<std::shared_ptr<Perform>> removed;
    {
        auto& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        for (auto it = r.pending.begin(); it != r.pending.end();) {
            if (it->second->target == target) {
                removed.push_back(std::move(it->second));
                it = r.pending.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& p : removed) disarm(p);
}

std::size_t pendingPerforms() {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.pending.size();
}

bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    if (predicate()) return true;
    if (!QCoreApplication::instance()) return false;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(2);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (predicate()) loop.quit();
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start();
    deadline.start(static_cast<int>(timeout.count()));
    loop.exec();
    return predicate();
}

} // namespace salvor::platform
