#pragma once
// A name-based notification centre in the manner of the windows' expectations:
// observers register per owner and name, a post calls every matching observer
// synchronously on the posting thread, and postOnMainThread() queues the post to
// the main thread's event loop.
//
// Dispatch is re-entrant: no lock is held while observers run, a post walks a
// snapshot of the matching observers, and an observer removed while a post is
// under way (by an earlier observer, or by itself) is not called afterwards.
// Observers may add, remove and post from inside a handler, and may run nested
// event loops there.
#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class QObject;

namespace salvor::platform {

// The small string map carried by a notification, e.g. {"USBPath": name}.
using NotificationPayload = std::map<std::string, std::string>;

struct Notification {
    std::string name;
    NotificationPayload payload;

    // The payload value of key, or "" when it is absent.
    std::string value(const std::string& key) const;
};

using NotificationHandler = std::function<void(const Notification&)>;

class NotificationCenter {
public:
    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process-wide centre.
    static NotificationCenter& defaultCenter();

    // Registers handler for posts of name. owner only identifies the observer
    // for removal; it is never dereferenced. One owner may observe many names,
    // and a name many times.
    void addObserver(const void* owner, const std::string& name, NotificationHandler handler);
    // The same for a QObject owner, which is removed automatically when it is
    // destroyed. Call it from the owner's thread.
    void addObserver(QObject* owner, const std::string& name, NotificationHandler handler);

    // Removes every registration of owner, or only those for name.
    void removeObserver(const void* owner);
    void removeObserver(const void* owner, const std::string& name);

    // Calls every observer of name, in registration order, on this thread.
    void post(const std::string& name, const NotificationPayload& payload = {});

    // Queues the post to the main thread's event loop: it never runs inside
    // this call, also when called on the main thread. Safe from any thread.
    // Answers false when there is no application object to run it.
    bool postOnMainThread(const std::string& name, NotificationPayload payload = {});

    // Number of registrations for name (tests, diagnostics).
    std::size_t observerCount(const std::string& name) const;

private:
    struct Entry {
        const void* owner;
        std::string name;
        NotificationHandler handler;
        std::atomic<bool> alive{true};
    };

    void removeMatching(const void* owner, const std::string* name);

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Entry>> entries_;
    std::set<const QObject*> watchedOwners_;
    // Carries the direct connections to the owners' destroyed() signals; going
    // with the centre, it breaks them.
    std::unique_ptr<QObject> guard_;
    // Queued posts hold a weak reference, so a post queued for a centre that is
    // gone by the time it runs is dropped.
    std::shared_ptr<int> life_;
};

} // namespace salvor::platform
