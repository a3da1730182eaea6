#pragma once
// A process-wide event queue with a delivery thread that hands every event to
// the registered receivers.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

enum EVENT_TYPE : std::uint32_t {
    EVENT_VOLUME_READ_FAILED = 1, // pushed with no data
};

struct _MSG_EVENT {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    std::vector<unsigned char> data; // a copy of what the pusher passed
};

// A receiver. The event stays the centre's.
class INotifyCenter {
public:
    virtual void OnEvent(_MSG_EVENT* event) = 0;
    virtual ~INotifyCenter() = default;
};

class CMessageCenter {
public:
    // The one centre, made and started on first use. It is never destroyed, so
    // it outlives every device that pushes to it; Shutdown() stops its thread.
    static CMessageCenter& Instance();

    // Clears the stop flag; when no delivery thread runs, drops queued events
    // and starts one.
    void StartReceiveMessage();
    // Sets the stop flag and waits for the delivery thread to end.
    void StopReceiveMessage();
    // Stops the thread, drops the queue and forgets every receiver.
    void Shutdown();

    bool RegisterNotifyCenter(int id, INotifyCenter* receiver);
    void UpdateNotifyCenter(int id, INotifyCenter* receiver);
    // After this answers, the receiver is not being called and will not be.
    void UnregisterNotifyCenter(int id);
    INotifyCenter* GetNotifyCenter(int id);

    // Queues a copy of the event while the delivery thread runs. A full queue
    // drops the new event, so a failing disk cannot grow memory without bound.
    void PushEvent(EVENT_TYPE type, int size, const void* data);
    void Clear();

    std::size_t QueuedCount();
    bool IsRunning();

    static constexpr std::size_t kMaxQueued = 4096;

    CMessageCenter();
    ~CMessageCenter();
    CMessageCenter(const CMessageCenter&) = delete;
    CMessageCenter& operator=(const CMessageCenter&) = delete;

private:
    void Run();

    std::mutex m_lock;
    std::condition_variable m_wake;      // events queued or stop requested
    std::condition_variable m_delivered; // a delivery round ended
    std::map<int, INotifyCenter*> m_receivers;
    std::deque<std::unique_ptr<_MSG_EVENT>> m_queue;
    bool m_stop = true;
    bool m_delivering = false;
    std::thread m_thread;
    std::thread::id m_threadId;
};
