#pragma once
// The pollers that turn an operation's need-update flag into notifications on
// the main thread, and the runner that starts an operation's worker and
// poller.
//
// A poller wakes every 0.1 s while its operation runs and posts the key at
// most once per wake when an update was raised. It watches one start of the
// operation (its generation): a later start ends it silently, so a quick
// restart never leaves two pollers posting for one operation. After the
// operation ends it posts once more when an update was raised or dropped
// since its last post, or when it never posted, so the windows always learn
// of the end from a post made after the final status change.
#include "services/UIOperation.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

class CStatusPoller {
public:
    enum class Kind {
        // Scans and recoveries: an update raised while the windows pull the
        // result trees (IsOpTreeFinished 0) is dropped rather than posted.
        Status,
        // Saves and loads: every raised update is posted, and
        // "QueryProgressFinish" follows the last one.
        Transfer,
    };
    using PostFn = std::function<void(const std::string&)>;
    using SleepFn = std::function<void(std::chrono::milliseconds)>;

    static constexpr std::chrono::milliseconds kInterval{100};

    // post defaults to VXUIPublic::NotifyMainThread.
    CStatusPoller(VXUIOperation& operation, std::string key, std::uint64_t generation, Kind kind = Kind::Status,
                  PostFn post = {});
    ~CStatusPoller();
    CStatusPoller(const CStatusPoller&) = delete;
    CStatusPoller& operator=(const CStatusPoller&) = delete;

    // True while the watched start is the operation's latest and it has not ended.
    bool Running() const;
    // The work of one wake (after its sleep).
    void Wake();
    // The work after the loop.
    void Finish();
    // The whole life: while Running(): sleep, Wake(); then Finish().
    void Run(const SleepFn& sleep = {});

    int Posts() const { return m_posts; }
    bool Superseded() const { return m_operation.Generation() != m_generation; }

    // Pollers alive in the process (tests).
    static int LivePollers();

private:
    void Post(const std::string& key);

    VXUIOperation& m_operation;
    std::string m_key;
    std::uint64_t m_generation;
    Kind m_kind;
    PostFn m_post;
    int m_posts = 0;
    bool m_unannounced = false; // an update was dropped since the last post
};

class COperationRunner {
public:
    // The stack a worker asks for; the thread layer raises it to at least
    // the system default.
    static constexpr std::size_t kWorkerStack = 0x200000;

    // Marks the operation running for a new start, then starts its status
    // poller and a worker running task, both on detached threads. When the
    // worker cannot be started the operation is finished at once, so the
    // poller still announces the end. Answers false when a thread could not
    // be started.
    static bool StartOperation(VXUIOperation& operation, const std::string& key, std::function<void()> task);

    // Marks the operation running and starts a Transfer poller for it (the
    // save or load itself is started by its own code).
    static bool StartTransferPoller(VXUIOperation& operation, const std::string& key);
    // Starts a Transfer poller for a start already made (its generation);
    // when no thread can be started the operation is finished at once.
    static bool StartTransferPoller(VXUIOperation& operation, const std::string& key, std::uint64_t generation);
};
