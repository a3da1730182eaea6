#pragma once
// The base of the long operations (scan, recovery, save and load): the status
// the windows and the engine's loops read, the flags the status poller turns
// into notifications, and a copy of the last progress record, all under one
// recursive mutex.
#include "engine/include/Progress.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>

// VXUIOperation::GetStatus()
enum VXOperationStatus : int {
    OP_IDLE = 0,           // idle or finished
    OP_STOP_REQUESTED = 1, // a stop was asked and the task has not wound down yet
    OP_RUNNING = 2,
    OP_PAUSED = 3,
    OP_EXITED = 4, // treated as ended; nothing sets it
};

class VXUIOperation : public IProgress {
public:
    VXUIOperation();
    ~VXUIOperation() override;
    VXUIOperation(const VXUIOperation&) = delete;
    VXUIOperation& operator=(const VXUIOperation&) = delete;

    // IProgress. Continued() blocks while paused (waking at once when the
    // status changes, at the latest every 80 ms) and then answers 1 only for
    // a running operation.
    int Continued() override;
    int shouldBuild() override;

    // 1 unless the windows are in the middle of pulling the result trees;
    // only the scan keeps a flag of its own.
    virtual int IsOpTreeFinished();
    virtual void SetOpTreeFinished(int finished);

    int GetStatus() const;
    void SetStatus(int status);
    // Status 0 or 4.
    bool IsOperationExit() const;
    int IsNeedUIUpdate() const;
    void SetNeedUIUpdate(int need);
    // Reads and clears need-update in one step.
    int TakeNeedUIUpdate();
    void SetShouldBuildTree(int build);

    void SetProgressInfo(const _PROGRESS_INFO& info);
    // A copy taken under the lock, so a reader never sees half a record.
    _PROGRESS_INFO GetProgressInfo() const;

    // 3 becomes 2 and 2 becomes 3; every other status stays.
    void PauseOrResumeOperation();
    // A status other than 0 becomes 1 and the build flag becomes 1 for
    // skipBuild 0, else 0; an idle operation stays idle. Raises need-update
    // in both cases.
    virtual void StopOperation(int skipBuild);

    // Marks the operation running for a new start (need-update cleared) and
    // answers the start's generation. A poller watches one generation and ends when a later start
    // replaces it.
    std::uint64_t BeginRun();
    std::uint64_t Generation() const;

    // The end of a task: status 0 and need-update raised in one step, so a
    // poller that finds the operation ended also finds the update that
    // announces the end.
    void FinishOperation();

    // Called by the status poller of the start generation at each wake while
    // that start runs (a scan ends a stop its worker does not answer).
    virtual void WatchRun(std::uint64_t /*generation*/) {}

    // Seconds between the start and end stamps (read under the lock).
    long long GetScanElapseTime() const;
    void SetStartTime(std::time_t t);
    void SetEndTime(std::time_t t);

protected:
    // The operation's lock, for derived classes that keep their own
    // collections under it.
    std::unique_lock<std::recursive_mutex> Lock() const {
        return std::unique_lock<std::recursive_mutex>(m_mutex);
    }
    // The same without waiting: not owned when another thread holds it.
    std::unique_lock<std::recursive_mutex> TryLock() const {
        return std::unique_lock<std::recursive_mutex>(m_mutex, std::try_to_lock);
    }

private:
    void WakeWaiters();

    mutable std::recursive_mutex m_mutex;
    std::time_t m_startTime = 0;
    std::time_t m_endTime = 0;
    int m_status = OP_IDLE;
    int m_shouldBuildTree = 1;
    int m_needUIUpdate = 0;
    std::uint64_t m_generation = 0;
    _PROGRESS_INFO m_progress{};

    // Wakes a paused Continued() as soon as the status changes.
    std::mutex m_waitMutex;
    std::condition_variable m_waitCond;
    std::atomic<std::uint64_t> m_statusChanges{0};
};
