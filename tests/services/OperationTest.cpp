// The operation base: status transitions, the pause wait and the stop flags.
#include "services/UIOperation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

namespace {

class TestOperation : public VXUIOperation {
public:
    void UpdateProgress(_PROGRESS_INFO* info) override {
        if (info) SetProgressInfo(*info);
    }
};

TEST(Operation, StartsIdleBuildingTreesWithoutUpdate) {
    TestOperation op;
    EXPECT_EQ(op.GetStatus(), OP_IDLE);
    EXPECT_EQ(op.shouldBuild(), 1);
    EXPECT_EQ(op.IsNeedUIUpdate(), 0);
    EXPECT_TRUE(op.IsOperationExit());
    EXPECT_EQ(op.IsOpTreeFinished(), 1);
    op.SetOpTreeFinished(0); // the base ignores it
    EXPECT_EQ(op.IsOpTreeFinished(), 1);
}

TEST(Operation, PauseAndResumeOnlyBetweenRunningAndPaused) {
    TestOperation op;
    for (int status : {OP_IDLE, OP_STOP_REQUESTED, OP_EXITED}) {
        op.SetStatus(status);
        op.PauseOrResumeOperation();
        EXPECT_EQ(op.GetStatus(), status);
    }
    op.SetStatus(OP_RUNNING);
    op.PauseOrResumeOperation();
    EXPECT_EQ(op.GetStatus(), OP_PAUSED);
    op.PauseOrResumeOperation();
    EXPECT_EQ(op.GetStatus(), OP_RUNNING);
}

TEST(Operation, StopOnIdleStaysIdleButRaisesUpdate) {
    TestOperation op;
    op.SetShouldBuildTree(1);
    op.StopOperation(1);
    EXPECT_EQ(op.GetStatus(), OP_IDLE);
    EXPECT_EQ(op.shouldBuild(), 1); // untouched while idle
    EXPECT_EQ(op.IsNeedUIUpdate(), 1);
}

TEST(Operation, StopFlagDecidesShouldBuild) {
    TestOperation op;
    op.SetStatus(OP_RUNNING);
    op.StopOperation(1);
    EXPECT_EQ(op.GetStatus(), OP_STOP_REQUESTED);
    EXPECT_EQ(op.shouldBuild(), 0);
    op.SetStatus(OP_RUNNING);
    op.StopOperation(0);
    EXPECT_EQ(op.shouldBuild(), 1);
}

TEST(Operation, ContinuedAnswersOnlyForRunning) {
    TestOperation op;
    const std::pair<int, int> cases[] = {{OP_IDLE, 0}, {OP_STOP_REQUESTED, 0}, {OP_RUNNING, 1}, {OP_EXITED, 0}};
    for (auto [status, answer] : cases) {
        op.SetStatus(status);
        EXPECT_EQ(op.Continued(), answer) << "status " << status;
    }
    EXPECT_TRUE(op.IsOperationExit()); // status 4 counts as ended
}

TEST(Operation, StopWhilePausedEndsContinuedPromptly) {
    TestOperation op;
    op.SetStatus(OP_RUNNING);
    op.PauseOrResumeOperation();
    auto answer = std::async(std::launch::async, [&] { return op.Continued(); });
    // Still waiting while paused.
    EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    const auto stopped = std::chrono::steady_clock::now();
    op.StopOperation(1);
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const auto waited = std::chrono::steady_clock::now() - stopped;
    EXPECT_EQ(answer.get(), 0);
    EXPECT_LT(waited, std::chrono::milliseconds(100));
}

TEST(Operation, ResumeWakesContinuedWithYes) {
    TestOperation op;
    op.SetStatus(OP_PAUSED);
    auto answer = std::async(std::launch::async, [&] { return op.Continued(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    op.PauseOrResumeOperation();
    EXPECT_EQ(answer.get(), 1);
}

TEST(Operation, ProgressRecordIsCopiedWhole) {
    TestOperation op;
    _PROGRESS_INFO info = MakeProgress(PROGRESS_RUNNING, 1000, 250, 7);
    info.reserved[4095] = 0x5A;
    op.UpdateProgress(&info);
    const _PROGRESS_INFO copy = op.GetProgressInfo();
    EXPECT_EQ(std::memcmp(&copy, &info, sizeof info), 0);
}

TEST(Operation, ProgressReadsAreNeverTorn) {
    // A writer alternates two records whose every field differs; a reader
    // must only ever see one or the other.
    TestOperation op;
    _PROGRESS_INFO a = MakeProgress(2, 1, 1, 1), b = MakeProgress(3, 2, 2, 2);
    std::memset(a.reserved, 0x11, sizeof a.reserved);
    std::memset(b.reserved, 0x22, sizeof b.reserved);
    op.SetProgressInfo(a);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) op.SetProgressInfo(i % 2 ? a : b);
        done = true;
    });
    int torn = 0;
    while (!done) {
        const _PROGRESS_INFO r = op.GetProgressInfo();
        if (std::memcmp(&r, &a, sizeof r) != 0 && std::memcmp(&r, &b, sizeof r) != 0) ++torn;
    }
    writer.join();
    EXPECT_EQ(torn, 0);
}

TEST(Operation, ElapsedTimeAndGenerations) {
    TestOperation op;
    op.SetStartTime(1000);
    op.SetEndTime(1042);
    EXPECT_EQ(op.GetScanElapseTime(), 42);
    const auto first = op.BeginRun();
    EXPECT_EQ(op.GetStatus(), OP_RUNNING);
    EXPECT_EQ(op.BeginRun(), first + 1);
    op.FinishOperation();
    EXPECT_EQ(op.GetStatus(), OP_IDLE);
    EXPECT_EQ(op.TakeNeedUIUpdate(), 1);
    EXPECT_EQ(op.IsNeedUIUpdate(), 0);
}

} // namespace
