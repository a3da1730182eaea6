#pragma once
// Copies one run of bytes on a thread of its own while the caller goes on:
// the carver fills the slot of the block after the one it analyses.
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

class CBlockCopier {
public:
    CBlockCopier() = default;
    ~CBlockCopier();
    CBlockCopier(const CBlockCopier&) = delete;
    CBlockCopier& operator=(const CBlockCopier&) = delete;

    // Starts copying; false (nothing done) when a copy is still running or no
    // thread could be started, and the caller copies itself when it needs to.
    bool Copy(unsigned char* to, const unsigned char* from, std::size_t bytes);
    // Returns once the copy started last is done.
    void Wait();

private:
    void Run();

    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_changed;
    unsigned char* m_to = nullptr;
    const unsigned char* m_from = nullptr;
    std::size_t m_bytes = 0;
    bool m_pending = false;
    bool m_stop = false;
};
