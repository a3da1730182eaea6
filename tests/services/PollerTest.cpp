// The status and transfer pollers, stepped by hand, and the runner on real
// threads with posts delivered by the main loop.
#include "services/StatusPoller.h"

#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "services/EndSignals.h"
#include "services/SaveAndRestoreNodeOperate.h"
#include "services/UIPublic.h"

#include <QObject>

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Posts = std::vector<std::string>;

// An operation with the scan's trees-built flag.
class TreeOperation : public VXUIOperation {
public:
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int IsOpTreeFinished() override { return treeFinished.load(); }
    void SetOpTreeFinished(int f) override { treeFinished = f; }
    std::atomic<int> treeFinished{1};
};

// A status poller of a freshly started operation, its posts recorded.
class StatusPoller : public testing::Test {
protected:
    CStatusPoller::PostFn Record(Posts& to) {
        return [&to](const std::string& key) { to.push_back(key); };
    }
    TreeOperation op;
    Posts posts;
    CStatusPoller poller{op, "Key", op.BeginRun(), CStatusPoller::Kind::Status, Record(posts)};
};

TEST_F(StatusPoller, PostsOfScriptedRuns) {
    // Steps: U raise an update, W wake, F finish the operation, I / X set the
    // status idle / exited, T0 / T1 set the trees-built flag, E end the loop;
    // checks: R / r running or not, n no update pending, P<n> n posts so far.
    using Kind = CStatusPoller::Kind;
    const Posts one{"Key"}, two{"Key", "Key"};
    const std::tuple<const char*, Kind, Posts> scripts[] = {
        {"R F W r E n", Kind::Status, one},             // ended during the first sleep: exactly one post
        {"X r", Kind::Status, {}},                      // exited counts as ended
        {"U U U U U W W", Kind::Status, one},           // at most one post per wake
        {"T0 U W n P0 T1 W P0 U W", Kind::Status, one}, // dropped (not delayed) during a tree pull
        {"U W P1 F r E", Kind::Status, two},            // the final update after the last wake
        {"U W T0 U W T1 I E", Kind::Status, two},       // an update dropped near the end, posted after it
        // Saves and loads: every update posts, the trees are not consulted.
        {"T0 U W F r E", Kind::Transfer, {"Key", "Key", "QueryProgressFinish"}},
    };
    for (const auto& [script, kind, expected] : scripts) {
        SCOPED_TRACE(script);
        TreeOperation run;
        Posts seen;
        CStatusPoller p(run, "Key", run.BeginRun(), kind, Record(seen));
        const std::map<char, std::function<void(const std::string&)>> act = {
            {'U', [&](const std::string&) { run.SetNeedUIUpdate(1); }},
            {'W', [&](const std::string&) { p.Wake(); }},
            {'F', [&](const std::string&) { run.FinishOperation(); }},
            {'I', [&](const std::string&) { run.SetStatus(OP_IDLE); }},
            {'X', [&](const std::string&) { run.SetStatus(OP_EXITED); }},
            {'T', [&](const std::string& s) { run.treeFinished = s[1] - '0'; }},
            {'E', [&](const std::string&) { p.Finish(); }},
            {'R', [&](const std::string&) { EXPECT_TRUE(p.Running()); }},
            {'r', [&](const std::string&) { EXPECT_FALSE(p.Running()); }},
            {'n', [&](const std::string&) { EXPECT_EQ(run.IsNeedUIUpdate(), 0); }},
            {'P', [&](const std::string& s) { EXPECT_EQ(seen.size(), std::stoul(s.substr(1))) << s; }},
        };
        std::istringstream steps(script);
        for (std::string s; steps >> s;)
            act.at(s[0])(s);
        EXPECT_EQ(seen, expected);
    }
}

TEST_F(StatusPoller, OperationEndedBeforeTheLoopIsAnnouncedOnce) {
    op.SetStatus(OP_IDLE); // no update raised at all
    poller.Run([](std::chrono::milliseconds) { FAIL() << "no sleep expected"; });
    EXPECT_EQ(posts.size(), 1u);
}

TEST_F(StatusPoller, QuickRestartLeavesOnlyTheNewPoller) {
    // The operation ends and is started again before the old poller wakes.
    op.FinishOperation();
    Posts newPosts;
    CStatusPoller newPoller(op, "Key", op.BeginRun(), CStatusPoller::Kind::Status, Record(newPosts));
    EXPECT_TRUE(poller.Superseded());
    EXPECT_FALSE(poller.Running());
    op.SetNeedUIUpdate(1);
    poller.Wake();
    poller.Finish();
    EXPECT_TRUE(posts.empty());
    EXPECT_EQ(op.IsNeedUIUpdate(), 1); // left for the new poller
    EXPECT_TRUE(newPoller.Running());
    newPoller.Wake();
    EXPECT_EQ(newPosts.size(), 1u);
}

// The runner on real threads: counts the posts of a key seen on the main loop.
struct PostCounter {
    explicit PostCounter(const std::string& key) {
        salvor::platform::NotificationCenter::defaultCenter().addObserver(
            this, key, [this](const salvor::platform::Notification&) {
                ++count;
                offMain += salvor::platform::isMainThread() ? 0 : 1;
            });
    }
    ~PostCounter() { salvor::platform::NotificationCenter::defaultCenter().removeObserver(this); }
    int count = 0, offMain = 0;
};

// Waits for the pollers started since `baseline` and the workers to end (the
// operation lives on the test's stack), then lets late posts arrive.
bool Settle(int baseline, const std::function<bool()>& workersDone) {
    if (!salvor::platform::runUntil([&] { return CStatusPoller::LivePollers() <= baseline; }, 5s) ||
        !salvor::platform::runUntil(workersDone, 5s))
        return false;
    salvor::platform::runUntil([] { return false; }, 200ms);
    return true;
}

TEST(OperationRunner, WorkerHasAFullStackAndPostsReachTheMainLoop) {
    TreeOperation op;
    const int baseline = CStatusPoller::LivePollers();
    std::atomic<std::size_t> stack{0};
    std::atomic<bool> onMain{true}, workerDone{false};
    PostCounter counter("RunnerTestKey");
    ASSERT_TRUE(COperationRunner::StartOperation(op, "RunnerTestKey", [&] {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            std::size_t size = 0;
            pthread_attr_getstacksize(&attr, &size);
            stack = size;
            pthread_attr_destroy(&attr);
        }
        onMain = salvor::platform::isMainThread();
        op.SetNeedUIUpdate(1);
        std::this_thread::sleep_for(250ms);
        op.FinishOperation();
        workerDone = true;
    }));
    EXPECT_EQ(op.GetStatus(), OP_RUNNING);
    EXPECT_EQ(counter.count, 0); // never inside the caller
    ASSERT_TRUE(Settle(baseline, [&] { return workerDone.load(); }));
    EXPECT_GE(stack.load(), 2u * 1024 * 1024);
    EXPECT_FALSE(onMain.load());
    EXPECT_GE(counter.count, 1);
    EXPECT_LE(counter.count, 3);
    EXPECT_EQ(counter.offMain, 0);
}

TEST(OperationRunner, QuickRestartLeavesOnePollerPosting) {
    TreeOperation op;
    const int baseline = CStatusPoller::LivePollers();
    PostCounter counter("RestartTestKey");
    std::atomic<int> workersDone{0};
    ASSERT_TRUE(COperationRunner::StartOperation(op, "RestartTestKey", [&] { ++workersDone; }));
    op.FinishOperation();
    ASSERT_TRUE(COperationRunner::StartOperation(op, "RestartTestKey", [&] {
        std::this_thread::sleep_for(150ms);
        op.FinishOperation();
        ++workersDone;
    }));
    ASSERT_TRUE(Settle(baseline, [&] { return workersDone.load() == 2; }));
    EXPECT_EQ(counter.count, 1);
}

// Quitting stops a save (or a recovery) and waits for its end while it
// reports, but not for one that falls silent (a read that hangs): the
// process ends without it.
TEST(OperationRunner, LeavingWaitsForAReportingWriterNotForASilentOne) {
    VXSaveAndRestoreNodeOperate& save = VXSaveAndRestoreNodeOperate::instance();
    for (const bool reports : {true, false}) {
        SCOPED_TRACE(reports ? "reporting" : "silent");
        save.BeginRun();
        bool ended = false;
        QObject context;
        const auto asked = std::chrono::steady_clock::now();
        salvor::services::endAfterWriting(&context, [&] { ended = true; }, true);
        std::uint64_t step = 0;
        salvor::platform::runUntil(
            [&] {
                if (reports) {
                    _PROGRESS_INFO info{};
                    info.current = ++step;
                    save.SetProgressInfo(info);
                }
                return ended;
            },
            3s);
        EXPECT_EQ(ended, !reports);
        if (!reports) {
            EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
        }
        save.FinishOperation();
        EXPECT_TRUE(salvor::platform::runUntil([&] { return ended; }, 2s));
    }
}

TEST(MainThreadPosts, KeyFollowsTheQueuedTask) {
    PostCounter counter("QueueTestKey");
    std::atomic<bool> ran{false}, taskOnMain{true};
    ASSERT_TRUE(VXUIPublic::NotifyMainThreadByPostKey("QueueTestKey", [&] {
        taskOnMain = salvor::platform::isMainThread();
        std::this_thread::sleep_for(50ms);
        ran = true;
    }));
    EXPECT_EQ(counter.count, 0);
    ASSERT_TRUE(salvor::platform::runUntil([&] { return counter.count == 1; }, 5s));
    EXPECT_TRUE(ran.load());
    EXPECT_FALSE(taskOnMain.load());
    EXPECT_EQ(counter.offMain, 0);
}

} // namespace
