#include "engine/utility/Locks.h"

#include <pthread.h>

void SimpleCs::EnterCS(const char*) {
    m_mutex.lock();
    if (m_depth++ == 0)
        m_holder.store(static_cast<unsigned long>(pthread_self()));
}

void SimpleCs::LeaveCS() {
    if (--m_depth == 0)
        m_holder.store(0);
    m_mutex.unlock();
}

void WaitEvent::EnterWait(int) {
    std::unique_lock l(m_mutex);
    m_cond.wait(l, [this] { return m_signalled; });
    m_signalled = false;
}

bool WaitEvent::EnterWaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock l(m_mutex);
    if (!m_cond.wait_for(l, timeout, [this] { return m_signalled; }))
        return false;
    m_signalled = false;
    return true;
}

void WaitEvent::WakeUp() {
    {
        std::lock_guard l(m_mutex);
        m_signalled = true;
    }
    m_cond.notify_one();
}
