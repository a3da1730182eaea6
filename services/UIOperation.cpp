#include "services/UIOperation.h"

#include <cstring>

namespace {
constexpr std::chrono::milliseconds kPauseStep{80};
}

VXUIOperation::VXUIOperation() { std::memset(&m_progress, 0, sizeof m_progress); }

VXUIOperation::~VXUIOperation() = default;

int VXUIOperation::Continued() {
    for (;;) {
        // The change count is read before the status, so a change made after
        // the status was read is seen by the wait and ends it at once; the
        // wait mutex is never held while the operation's lock is taken.
        const std::uint64_t seen = m_statusChanges.load();
        if (GetStatus() != OP_PAUSED) break;
        std::unique_lock<std::mutex> wait(m_waitMutex);
        m_waitCond.wait_for(wait, kPauseStep, [&] { return m_statusChanges.load() != seen; });
    }
    return GetStatus() == OP_RUNNING ? 1 : 0;
}

int VXUIOperation::shouldBuild() {
    auto lock = Lock();
    return m_shouldBuildTree;
}

int VXUIOperation::IsOpTreeFinished() { return 1; }

void VXUIOperation::SetOpTreeFinished(int) {}

int VXUIOperation::GetStatus() const {
    auto lock = Lock();
    return m_status;
}

void VXUIOperation::SetStatus(int status) {
    {
        auto lock = Lock();
        m_status = status;
    }
    WakeWaiters();
}

bool VXUIOperation::IsOperationExit() const {
    auto lock = Lock();
    return m_status == OP_IDLE || m_status == OP_EXITED;
}

int VXUIOperation::IsNeedUIUpdate() const {
    auto lock = Lock();
    return m_needUIUpdate;
}

void VXUIOperation::SetNeedUIUpdate(int need) {
    auto lock = Lock();
    m_needUIUpdate = need;
}

int VXUIOperation::TakeNeedUIUpdate() {
    auto lock = Lock();
    const int need = m_needUIUpdate;
    m_needUIUpdate = 0;
    return need;
}

void VXUIOperation::SetShouldBuildTree(int build) {
    auto lock = Lock();
    m_shouldBuildTree = build;
}

void VXUIOperation::SetProgressInfo(const _PROGRESS_INFO& info) {
    auto lock = Lock();
    std::memcpy(&m_progress, &info, sizeof m_progress);
}

_PROGRESS_INFO VXUIOperation::GetProgressInfo() const {
    auto lock = Lock();
    return m_progress;
}

void VXUIOperation::PauseOrResumeOperation() {
    {
        auto lock = Lock();
        if (m_status == OP_PAUSED)
            m_status = OP_RUNNING;
        else if (m_status == OP_RUNNING)
            m_status = OP_PAUSED;
        else
            return;
    }
    WakeWaiters();
}

void VXUIOperation::StopOperation(int skipBuild) {
    {
        auto lock = Lock();
        if (m_status != OP_IDLE) {
            m_status = OP_STOP_REQUESTED;
            m_shouldBuildTree = skipBuild == 0 ? 1 : 0;
        }
        m_needUIUpdate = 1;
    }
    WakeWaiters();
}

std::uint64_t VXUIOperation::BeginRun() {
    std::uint64_t generation;
    {
        auto lock = Lock();
        m_status = OP_RUNNING;
        // An update left from the previous start belongs to its poller.
        m_needUIUpdate = 0;
        generation = ++m_generation;
    }
    WakeWaiters();
    return generation;
}

std::uint64_t VXUIOperation::Generation() const {
    auto lock = Lock();
    return m_generation;
}

void VXUIOperation::FinishOperation() {
    {
        auto lock = Lock();
        m_status = OP_IDLE;
        m_needUIUpdate = 1;
    }
    WakeWaiters();
}

long long VXUIOperation::GetScanElapseTime() const {
    auto lock = Lock();
    return static_cast<long long>(m_endTime) - static_cast<long long>(m_startTime);
}

void VXUIOperation::SetStartTime(std::time_t t) {
    auto lock = Lock();
    m_startTime = t;
}

void VXUIOperation::SetEndTime(std::time_t t) {
    auto lock = Lock();
    m_endTime = t;
}

void VXUIOperation::WakeWaiters() {
    // Taking the wait mutex orders this wake after a waiter's last check.
    std::lock_guard<std::mutex> wait(m_waitMutex);
    ++m_statusChanges;
    m_waitCond.notify_all();
}
