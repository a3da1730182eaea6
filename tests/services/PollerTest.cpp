// The status and transfer pollers, stepped by hand, and the runner on real
// threads with posts delivered by the main loop.
#include "services/StatusPoller.h"

#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "services/UIPublic.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// An operation with the scan's trees-built flag.
class TreeOperation : public VXUIOperation {
public:
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int IsOpTreeFinished() override { return treeFinished.load(); }
    void SetOpTreeFinished(int f) override { treeFinished = f; }
    std::atomic<int> treeFinished{1};
};

struct Recorder {
    std::vector<std::string> posts;
    CStatusPoller::PostFn fn() {
        return [this](const std::string& key) { posts.push_back(key); };
    }
};

CStatusPoller MakePoller(TreeOperation& op, Recorder& rec, CStatusPoller::Kind kind = CStatusPoller::Kind::Status) {
    const auto generation = op.BeginRun();
    return CStatusPoller(op, "Key", generation, kind, rec.fn());
}

TEST(StatusPoller, EndBeforeFirstWakeGivesExactlyOnePost) {
    TreeOperation op;
    Recorder rec;
    CStatusPoller poller = MakePoller(op, rec);
    ASSERT_TRUE(poller.Running());
    op.FinishOperation(); // during the first sleep
    poller.Wake();
    EXPECT_FALSE(poller.Running());
    poller.Finish();
    EXPECT_EQ(rec.posts, std::vector<std::string>{"Key"});
    EXPECT_EQ(op.IsNeedUIUpdate(), 0);
}

TEST(StatusPoller, OperationEndedBeforeTheLoopIsAnnouncedOnce) {
    TreeOperation op;
    Recorder rec;
    CStatusPoller poller = MakePoller(op, rec);
    op.SetStatus(OP_IDLE); // no update raised at all
    poller.Run([](std::chrono::milliseconds) { FAIL() << "no sleep expected"; });
    EXPECT_EQ(rec.posts.size(), 1u);
}

TEST(StatusPoller, AtMostOnePostPerWake) {
    TreeOperation op;
    Recorder rec;
    CStatusPoller poller = MakePoller(op, rec);
    for (int i = 0; i < 5; ++i) op.SetNeedUIUpdate(1);
    poller.Wake();
    poller.Wake(); // nothing raised since
    EXPECT_EQ(rec.posts.size(), 1u);
}

TEST(StatusPoller, UpdatesDuringATreePullAreDroppedThenLaterOnesPost) {
    TreeOperation op;
    Recorder rec;
    CStatusPoller poller = MakePoller(op, rec);
    op.treeFinished = 0;
    op.SetNeedUIUpdate(1);
    poller.Wake();
    EXPECT_TRUE(rec.posts.empty());
    EXPECT_EQ(op.IsNeedUIUpdate(), 0); // consumed, not delayed
    op.treeFinished = 1;
    poller.Wake();
    EXPECT_TRUE(rec.posts.empty());
    op.SetNeedUIUpdate(1);
    poller.Wake();
    EXPECT_EQ(rec.posts.size(), 1u);
}

TEST(StatusPoller, FinalUpdateAfterTheLastWakeIsPosted) {
    // The operation posted during its run; its end (status, then update) falls
    // between a wake and the poller's end test.
    TreeOperation op;
    Recorder rec;
    CStatusPoller poller = MakePoller(op, rec);
    op.SetNeedUIUpdate(1);
    poller.Wake();
    ASSERT_EQ(rec.posts.size(), 1u);
    op.FinishOperation();
    EXPECT_FALSE(poller.Running());
    poller.Finish();
    EXPECT_EQ(rec.posts.size(), 2u);
}

TEST(StatusPoller, UpdateDroppedNearTheEndIsPostedAfterIt) {
    TreeOperation op;
    Recorder rec;
    CStatusPoller poller = MakePoller(op, rec);
    op.SetNeedUIUpdate(1);
    poller.Wake();
    op.treeFinished = 0;
    op.SetNeedUIUpdate(1);
    poller.Wake(); // dropped
    op.treeFinished = 1;
    op.SetStatus(OP_IDLE); // ended without a further update
    poller.Finish();
    EXPECT_EQ(rec.posts.size(), 2u);
}

TEST(StatusPoller, NoExtraPostWhenNothingHappenedSinceTheLast) {
    TreeOperation op;
    Recorder rec;
    CStatusPoller poller = MakePoller(op, rec);
    op.FinishOperation();
    poller.Wake();
    poller.Finish();
    EXPECT_EQ(rec.posts.size(), 1u);
}

TEST(StatusPoller, ExitedStatusCountsAsEnded) {
    TreeOperation op;
    Recorder rec;
    CStatusPoller poller = MakePoller(op, rec);
    op.SetStatus(OP_EXITED);
    EXPECT_FALSE(poller.Running());
}

TEST(StatusPoller, QuickRestartLeavesOnlyTheNewPoller) {
    TreeOperation op;
    Recorder oldRec, newRec;
    CStatusPoller oldPoller = MakePoller(op, oldRec);
    // The operation ends and is started again before the old poller wakes.
    op.FinishOperation();
    CStatusPoller newPoller = MakePoller(op, newRec);
    EXPECT_TRUE(oldPoller.Superseded());
    EXPECT_FALSE(oldPoller.Running());
    op.SetNeedUIUpdate(1);
    oldPoller.Wake();
    oldPoller.Finish();
    EXPECT_TRUE(oldRec.posts.empty());
    EXPECT_EQ(op.IsNeedUIUpdate(), 1); // left for the new poller
    EXPECT_TRUE(newPoller.Running());
    newPoller.Wake();
    EXPECT_EQ(newRec.posts.size(), 1u);
}

TEST(StatusPoller, RunSleepsATenthOfASecondPerWake) {
    TreeOperation op;
    Recorder rec;
    CStatusPoller poller = MakePoller(op, rec);
    std::vector<std::chrono::milliseconds> sleeps;
    poller.Run([&](std::chrono::milliseconds d) {
        sleeps.push_back(d);
        if (sleeps.size() == 3) op.FinishOperation();
    });
    EXPECT_EQ(sleeps, std::vector<std::chrono::milliseconds>(3, 100ms));
    EXPECT_EQ(rec.posts.size(), 1u);
}

TEST(TransferPoller, PostsEveryUpdateThenTheFinishKey) {
    TreeOperation op;
    Recorder rec;
    CStatusPoller poller = MakePoller(op, rec, CStatusPoller::Kind::Transfer);
    op.treeFinished = 0; // not consulted
    op.SetNeedUIUpdate(1);
    poller.Wake();
    op.FinishOperation();
    EXPECT_FALSE(poller.Running());
    poller.Finish();
    EXPECT_EQ(rec.posts, (std::vector<std::string>{"Key", "Key", "QueryProgressFinish"}));
}

// The runner on real threads.
struct PostCounter {
    explicit PostCounter(const std::string& key) : key(key) {
        salvor::platform::NotificationCenter::defaultCenter().addObserver(
            this, key, [this](const salvor::platform::Notification&) {
                ++count;
                if (!salvor::platform::isMainThread()) ++offMain;
            });
    }
    ~PostCounter() { salvor::platform::NotificationCenter::defaultCenter().removeObserver(this); }
    std::string key;
    int count = 0;
    int offMain = 0;
};

void SettleLoop(std::chrono::milliseconds d) {
    salvor::platform::runUntil([] { return false; }, d);
}

bool WaitForPollers(int live) {
    return salvor::platform::runUntil([&] { return CStatusPoller::LivePollers() <= live; }, 5s);
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
    ASSERT_TRUE(WaitForPollers(baseline));
    // The operation lives on this stack: the worker must be out of it first.
    ASSERT_TRUE(salvor::platform::runUntil([&] { return workerDone.load(); }, 5s));
    SettleLoop(200ms);
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
    ASSERT_TRUE(WaitForPollers(baseline));
    ASSERT_TRUE(salvor::platform::runUntil([&] { return workersDone.load() == 2; }, 5s));
    SettleLoop(200ms);
    EXPECT_EQ(counter.count, 1);
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
