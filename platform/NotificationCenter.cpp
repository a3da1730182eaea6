#include "platform/NotificationCenter.h"

#include "platform/MainThread.h"

#include <QObject>

#include <algorithm>

namespace salvor::platform {

std::string Notification::value(const std::string& key) const {
    auto it = payload.find(key);
    return it == payload.end() ? std::string() : it->second;
}

NotificationCenter::NotificationCenter() : guard_(std::make_unique<QObject>()), life_(std::make_shared<int>(0)) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

void NotificationCenter::addObserver(const void* owner, const std::string& name, NotificationHandler handler) {
    if (!handler) return;
    auto entry = std::make_shared<Entry>();
    entry->owner = owner;
    entry->name = name;
    entry->handler = std::move(handler);
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
}

void NotificationCenter::addObserver(QObject* owner, const std::string& name, NotificationHandler handler) {
    if (!handler) return;
    bool connect = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connect = owner && watchedOwners_.insert(owner).second;
    }
    if (connect) {
        // Direct, so the registration goes while the owner is being destroyed
        // and no later post can reach it.
        QObject::connect(
            owner, &QObject::destroyed, guard_.get(),
            [this, owner] {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    watchedOwners_.erase(owner);
                }
                removeObserver(static_cast<const void*>(owner));
            },
            Qt::DirectConnection);
    }
    addObserver(static_cast<const void*>(owner), name, std::move(handler));
}

void NotificationCenter::removeObserver(const void* owner) { removeMatching(owner, nullptr); }

void NotificationCenter::removeObserver(const void* owner, const std::string& name) { removeMatching(owner, &name); }

void NotificationCenter::removeMatching(const void* owner, const std::string* name) {
    // The handlers are destroyed outside the lock: a handler's captures may
    // themselves talk to the centre when they go.
    std::vector<std::shared_ptr<Entry>> removed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto keep = std::stable_partition(entries_.begin(), entries_.end(), [&](const std::shared_ptr<Entry>& e) {
            return !(e->owner == owner && (!name || e->name == *name));
        });
        for (auto it = keep; it != entries_.end(); ++it) {
            (*it)->alive.store(false);
            removed.push_back(std::move(*it));
        }
        entries_.erase(keep, entries_.end());
    }
}

void NotificationCenter::post(const std::string& name, const NotificationPayload& payload) {
    std::vector<std::shared_ptr<Entry>> snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& e : entries_)
            if (e->name == name) snapshot.push_back(e);
    }
    const Notification note{name, payload};
    for (const auto& e : snapshot) {
        // Removed by an earlier observer of this post, or by a nested post.
        if (!e->alive.load()) continue;
        e->handler(note);
    }
}

bool NotificationCenter::postOnMainThread(const std::string& name, NotificationPayload payload) {
    std::weak_ptr<int> life = life_;
    return postToMainThread([this, life, name, payload = std::move(payload)] {
        if (life.expired()) return;
        post(name, payload);
    });
}

std::size_t NotificationCenter::observerCount(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e->name == name; }));
}

} // namespace salvor::platform
