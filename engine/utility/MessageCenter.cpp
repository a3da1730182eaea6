#include "engine/utility/MessageCenter.h"

#include <cstring>

CMessageCenter& CMessageCenter::Instance() {
    static CMessageCenter* center = [] {
        auto* c = new CMessageCenter;
        c->StartReceiveMessage();
        return c;
    }();
    return *center;
}

CMessageCenter::CMessageCenter() = default;

CMessageCenter::~CMessageCenter() { Shutdown(); }

void CMessageCenter::StartReceiveMessage() {
    std::lock_guard l(m_lock);
    m_stop = false;
    if (m_thread.joinable())
        return;
    m_queue.clear();
    m_thread = std::thread([this] { Run(); });
    m_threadId = m_thread.get_id();
}

void CMessageCenter::StopReceiveMessage() {
    std::thread thread;
    {
        std::lock_guard l(m_lock);
        m_stop = true;
        thread = std::move(m_thread);
    }
    m_wake.notify_all();
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach(); // a receiver stopping the centre from its own call
        else
            thread.join();
    }
}

void CMessageCenter::Shutdown() {
    StopReceiveMessage();
    std::lock_guard l(m_lock);
    m_queue.clear();
    m_receivers.clear();
}

bool CMessageCenter::RegisterNotifyCenter(int id, INotifyCenter* receiver) {
    if (!receiver)
        return false;
    std::lock_guard l(m_lock);
    return m_receivers.emplace(id, receiver).second;
}

void CMessageCenter::UpdateNotifyCenter(int id, INotifyCenter* receiver) {
    std::lock_guard l(m_lock);
    m_receivers[id] = receiver;
}

void CMessageCenter::UnregisterNotifyCenter(int id) {
    std::unique_lock l(m_lock);
    m_receivers.erase(id);
    // Receivers are called without the lock: wait for a round in progress, so
    // the caller may destroy the receiver once this returns.
    if (std::this_thread::get_id() != m_threadId)
        m_delivered.wait(l, [this] { return !m_delivering; });
}

INotifyCenter* CMessageCenter::GetNotifyCenter(int id) {
    std::lock_guard l(m_lock);
    auto it = m_receivers.find(id);
    return it == m_receivers.end() ? nullptr : it->second;
}

void CMessageCenter::PushEvent(EVENT_TYPE type, int size, const void* data) {
    auto event = std::make_unique<_MSG_EVENT>();
    event->type = type;
    if (size > 0 && data) {
        event->size = static_cast<std::uint32_t>(size);
        event->data.assign(static_cast<const unsigned char*>(data),
                           static_cast<const unsigned char*>(data) + size);
    }
    {
        std::lock_guard l(m_lock);
        if (m_stop || !m_thread.joinable() || m_queue.size() >= kMaxQueued)
            return;
        m_queue.push_back(std::move(event));
    }
    m_wake.notify_one();
}

void CMessageCenter::Clear() {
    std::lock_guard l(m_lock);
    m_queue.clear();
}

std::size_t CMessageCenter::QueuedCount() {
    std::lock_guard l(m_lock);
    return m_queue.size();
}

bool CMessageCenter::IsRunning() {
    std::lock_guard l(m_lock);
    return m_thread.joinable() && !m_stop;
}

void CMessageCenter::Run() {
    std::unique_lock l(m_lock);
    while (!m_stop) {
        // Wake on a push, or once a second as the centre always has.
        m_wake.wait_for(l, std::chrono::seconds(1), [this] { return m_stop || !m_queue.empty(); });
        if (m_stop)
            break;
        // Everything queued is delivered in one round.
        std::deque<std::unique_ptr<_MSG_EVENT>> batch;
        batch.swap(m_queue);
        if (batch.empty())
            continue;
        m_delivering = true;
        for (auto& event : batch) {
            // The receivers of this event, in id order; called without the lock.
            std::vector<INotifyCenter*> receivers;
            for (auto& [id, r] : m_receivers)
                if (r)
                    receivers.push_back(r);
            l.unlock();
            for (INotifyCenter* r : receivers)
                r->OnEvent(event.get());
            l.lock();
        }
        m_delivering = false;
        m_delivered.notify_all();
    }
    m_queue.clear();
}
