#pragma once
// Lock wrappers used throughout the engine.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

// A base whose copies are unavailable; every lock derives from it.
class none_copyable {
public:
    none_copyable() = default;
    virtual ~none_copyable() = default;
    none_copyable(const none_copyable&) = delete;
    none_copyable& operator=(const none_copyable&) = delete;
};

// One non-recursive mutex. lock()/unlock() also make it usable with the
// standard lock guards and condition_variable_any.
class mutex_locker : public none_copyable {
public:
    void lock() { m_mutex.lock(); }
    void un_lock() { m_mutex.unlock(); }
    void unlock() { m_mutex.unlock(); }
    bool try_lock() { return m_mutex.try_lock(); }

private:
    std::mutex m_mutex;
};

// Scope guard: locks in the constructor, unlocks in the destructor.
template <class Lock>
class autolocker : public none_copyable {
public:
    explicit autolocker(Lock& lock) : m_lock(lock) { m_lock.lock(); }
    ~autolocker() override { m_lock.un_lock(); }

private:
    Lock& m_lock;
};

// A condition with its own mutex. The waits with a predicate check it under
// the mutex before and after waiting, so a signal given before the wait is not
// lost as long as the signaller changes the state under the same mutex.
class cond_locker : public none_copyable {
public:
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }
    void signal() { m_cond.notify_one(); }
    void broadcast() { m_cond.notify_all(); }

    // Waits with the condition's own mutex held by the caller.
    void wait() {
        std::unique_lock<std::mutex> l(m_mutex, std::adopt_lock);
        m_cond.wait(l);
        l.release();
    }
    // Waits on another lock held by the caller (e.g. a queue's mutex_locker).
    template <class Lock, class Pred>
    void wait(Lock& held, Pred pred) {
        m_cond.wait(held, pred);
    }
    template <class Lock, class Pred>
    bool wait_for(Lock& held, std::chrono::milliseconds timeout, Pred pred) {
        return m_cond.wait_for(held, timeout, pred);
    }

private:
    std::mutex m_mutex;
    std::condition_variable_any m_cond;
};

// A recursive mutex that remembers its holder (0 when free).
class SimpleCs : public none_copyable {
public:
    void EnterCS(const char* where = nullptr);
    void LeaveCS();
    // The holding thread's id as a number, 0 when free.
    unsigned long Holder() const { return m_holder.load(); }

private:
    std::recursive_mutex m_mutex;
    std::atomic<unsigned long> m_holder{0};
    unsigned m_depth = 0;
};

// Scope guard over a SimpleCs; a null SimpleCs is ignored.
class SimpleLock : public none_copyable {
public:
    explicit SimpleLock(SimpleCs* cs, const char* where = nullptr) : m_cs(cs) {
        if (m_cs)
            m_cs->EnterCS(where);
    }
    ~SimpleLock() override {
        if (m_cs)
            m_cs->LeaveCS();
    }

private:
    SimpleCs* m_cs;
};

// A read-write lock; the text arguments are caller tags only.
class RWLock : public none_copyable {
public:
    void EnterRead(const char* = nullptr) { m_lock.lock_shared(); }
    void LeaveRead(const char* = nullptr) { m_lock.unlock_shared(); }
    void EnterWrite(const char* = nullptr) { m_lock.lock(); }
    void LeaveWrite(const char* = nullptr) { m_lock.unlock(); }

private:
    std::shared_mutex m_lock;
};

class ReadLock : public none_copyable {
public:
    explicit ReadLock(RWLock& lock, const char* tag = nullptr) : m_lock(lock) { m_lock.EnterRead(tag); }
    ~ReadLock() override { m_lock.LeaveRead(); }

private:
    RWLock& m_lock;
};

class WriteLock : public none_copyable {
public:
    explicit WriteLock(RWLock& lock, const char* tag = nullptr) : m_lock(lock) { m_lock.EnterWrite(tag); }
    ~WriteLock() override { m_lock.LeaveWrite(); }

private:
    RWLock& m_lock;
};

// An auto-reset event: WakeUp() before EnterWait() is remembered, so the
// waiter returns at once instead of sleeping through a lost wake-up.
class WaitEvent : public none_copyable {
public:
    void EnterWait(int = 0);
    // Waits at most timeout; true when woken.
    bool EnterWaitFor(std::chrono::milliseconds timeout);
    void WakeUp();

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_signalled = false;
};
