#include "engine/carver/BlockCopier.h"

#include <cstring>
#include <system_error>

CBlockCopier::~CBlockCopier() {
    {
        std::lock_guard<std::mutex> l(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

bool CBlockCopier::Copy(unsigned char* to, const unsigned char* from, std::size_t bytes) {
    if (!to || !from || bytes == 0) return false;
    {
        std::lock_guard<std::mutex> l(m_lock);
        if (m_pending) return false;
    }
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return false;
        }
    }
    {
        std::lock_guard<std::mutex> l(m_lock);
        m_to = to;
        m_from = from;
        m_bytes = bytes;
        m_pending = true;
    }
    m_changed.notify_all();
    return true;
}

void CBlockCopier::Wait() {
    std::unique_lock<std::mutex> l(m_lock);
    m_changed.wait(l, [this] { return !m_pending; });
}

void CBlockCopier::Run() {
    std::unique_lock<std::mutex> l(m_lock);
    for (;;) {
        m_changed.wait(l, [this] { return m_stop || m_pending; });
        if (m_stop) return;
        unsigned char* to = m_to;
        const unsigned char* from = m_from;
        const std::size_t bytes = m_bytes;
        l.unlock();
        std::memcpy(to, from, bytes);
        l.lock();
        m_pending = false;
        m_changed.notify_all();
    }
}
