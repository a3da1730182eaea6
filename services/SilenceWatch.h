#pragma once
// Whether a device answered throughout some work that reads it: looked at
// while the work runs, not only after, since a read the device holds
// unanswered gives no word until it ends, when the device may answer again.
#include "engine/include/DeviceGone.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

// From construction to destruction, sets silent once the device is not
// answering (waited for) or gone; a null device is not looked at.
class CSilenceWatch {
public:
    CSilenceWatch(IStorageDevice* device, std::atomic<bool>& silent) : m_device(device), m_silent(silent) {
        Look();
        if (!m_device) return;
        try {
            m_thread = std::thread([this] {
                std::unique_lock<std::mutex> lock(m_lock);
                while (!m_wake.wait_for(lock, std::chrono::milliseconds(100), [this] { return m_done; })) Look();
            });
        } catch (const std::system_error&) {
            // No thread: what it is at the start and the end is still seen.
        }
    }
    ~CSilenceWatch() {
        {
            const std::lock_guard<std::mutex> lock(m_lock);
            m_done = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) m_thread.join();
        Look();
    }
    CSilenceWatch(const CSilenceWatch&) = delete;
    CSilenceWatch& operator=(const CSilenceWatch&) = delete;

private:
    void Look() {
        if (m_device && (DeviceSilent(m_device) || DeviceGone(m_device))) m_silent = true;
    }

    IStorageDevice* m_device;
    std::atomic<bool>& m_silent;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

