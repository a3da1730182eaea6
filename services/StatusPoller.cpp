#include "services/StatusPoller.h"

#include "engine/utility/CatchExeception.h"
#include "platform/Threads.h"
#include "services/UIPublic.h"

#include <memory>
#include <thread>

namespace {
std::atomic<int> g_livePollers{0};
}

CStatusPoller::CStatusPoller(VXUIOperation& operation, std::string key, std::uint64_t generation, Kind kind,
                             PostFn post)
    : m_operation(operation), m_key(std::move(key)), m_generation(generation), m_kind(kind),
      m_post(post ? std::move(post) : PostFn([](const std::string& k) { VXUIPublic::NotifyMainThread(k); })) {
    ++g_livePollers;
}

CStatusPoller::~CStatusPoller() { --g_livePollers; }

int CStatusPoller::LivePollers() { return g_livePollers.load(); }

bool CStatusPoller::Running() const { return !Superseded() && !m_operation.IsOperationExit(); }

void CStatusPoller::Post(const std::string& key) {
    m_post(key);
    ++m_posts;
    m_unannounced = false;
}

void CStatusPoller::Wake() {
    // A later start owns the flag now; leave it to that start's poller.
    if (Superseded()) return;
    if (m_kind == Kind::Status) m_operation.WatchRun(m_generation);
    if (!m_operation.TakeNeedUIUpdate()) return;
    if (m_kind == Kind::Transfer || m_operation.IsOpTreeFinished())
        Post(m_key);
    else
        m_unannounced = true; // the windows are pulling the trees; owed at the end
}

void CStatusPoller::Finish() {
    if (Superseded()) {
        CatchExeception::WriteLog("status poller for \"%s\" replaced by a new start\n", m_key.c_str());
        return;
    }
    const bool raised = m_operation.TakeNeedUIUpdate() != 0;
    if (m_kind == Kind::Status) {
        if (raised || m_unannounced || m_posts == 0) Post(m_key);
        CatchExeception::WriteLog("!!!!!!! The state query thread is exited!!!!!!!!!\n");
        return;
    }
    if (raised || m_unannounced) Post(m_key);
    CatchExeception::WriteLog("---------Send Progress finish notify to UI-------\n");
    Post("QueryProgressFinish");
    CatchExeception::WriteLog("---------The Progress thread is exited-----------\n");
}

void CStatusPoller::Run(const SleepFn& sleep) {
    while (Running()) {
        if (sleep)
            sleep(kInterval);
        else
            std::this_thread::sleep_for(kInterval);
        Wake();
    }
    Finish();
}

namespace {

bool StartPoller(VXUIOperation& operation, const std::string& key, std::uint64_t generation,
                 CStatusPoller::Kind kind) {
    auto poller = std::make_shared<CStatusPoller>(operation, key, generation, kind);
    const bool ok = salvor::platform::startDetachedThread([poller] { poller->Run(); }, 0, "salvor-poller");
    if (!ok) CatchExeception::WriteLog("no poller thread for \"%s\"\n", key.c_str());
    return ok;
}

} // namespace

bool COperationRunner::StartOperation(VXUIOperation& operation, const std::string& key, std::function<void()> task) {
    const std::uint64_t generation = operation.BeginRun();
    const bool polled = StartPoller(operation, key, generation, CStatusPoller::Kind::Status);
    const bool worked = salvor::platform::startDetachedThread(std::move(task), kWorkerStack, "salvor-worker");
    if (!worked) {
        CatchExeception::WriteLog("no worker thread for \"%s\"\n", key.c_str());
        operation.FinishOperation();
    }
    return polled && worked;
}

bool COperationRunner::StartTransferPoller(VXUIOperation& operation, const std::string& key) {
    return StartTransferPoller(operation, key, operation.BeginRun());
}

bool COperationRunner::StartTransferPoller(VXUIOperation& operation, const std::string& key,
                                           std::uint64_t generation) {
    if (StartPoller(operation, key, generation, CStatusPoller::Kind::Transfer)) return true;
    operation.FinishOperation();
    return false;
}
