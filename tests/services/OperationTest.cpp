// The operation base: status transitions, the pause wait and the stop flags.
#include "services/UIOperation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

class TestOperation : public VXUIOperation {
public:
    void UpdateProgress(_PROGRESS_INFO*) override {}
};

TEST(Operation, PauseResumeAndContinuedByStatus) {
    // Status, status after a pause-or-resume, Continued's answer there (a
    // paused operation's Continued waits: tested below).
    const std::tuple<int, int, int> cases[] = {{OP_IDLE, OP_IDLE, 0},
                                               {OP_STOP_REQUESTED, OP_STOP_REQUESTED, 0},
                                               {OP_EXITED, OP_EXITED, 0},
                                               {OP_RUNNING, OP_PAUSED, -1},
                                               {OP_PAUSED, OP_RUNNING, 1}};
    TestOperation op;
    for (auto [status, after, continued] : cases) {
        op.SetStatus(status);
        op.PauseOrResumeOperation();
        EXPECT_EQ(op.GetStatus(), after) << status;
        if (continued >= 0) {
            EXPECT_EQ(op.Continued(), continued) << status;
        }
    }
}

TEST(Operation, StopFlagDecidesShouldBuildOnlyWhileRunning) {
    TestOperation op;
    op.StopOperation(1); // idle: stays idle, trees untouched, the windows told
    EXPECT_EQ(op.GetStatus(), OP_IDLE);
    EXPECT_EQ(op.shouldBuild(), 1);
    EXPECT_EQ(op.IsNeedUIUpdate(), 1);
    for (int flag : {1, 0}) {
        op.SetStatus(OP_RUNNING);
        op.StopOperation(flag);
        EXPECT_EQ(op.GetStatus(), OP_STOP_REQUESTED);
        EXPECT_EQ(op.shouldBuild(), 1 - flag);
    }
}

TEST(Operation, PausedContinuedWakesAtOnceOnStopOrResume) {
    // The change comes 20 ms into the wait, well inside the 80 ms polling
    // step, and must end the wait at once. A loaded machine may delay any one
    // wake; a wait that polls is late every time, so the quickest of three
    // tells them apart.
    for (bool stop : {true, false}) {
        auto quickest = std::chrono::steady_clock::duration::max();
        for (int attempt = 0; attempt < 3; ++attempt) {
            TestOperation op;
            op.SetStatus(OP_PAUSED);
            auto answer = std::async(std::launch::async, [&] { return op.Continued(); });
            EXPECT_EQ(answer.wait_for(20ms), std::future_status::timeout); // waits while paused
            const auto changed = std::chrono::steady_clock::now();
            stop ? op.StopOperation(1) : op.PauseOrResumeOperation();
            ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
            quickest = std::min(quickest, std::chrono::steady_clock::now() - changed);
            EXPECT_EQ(answer.get(), stop ? 0 : 1);
        }
        EXPECT_LT(quickest, 40ms) << "stop " << stop;
    }
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
        for (int i = 0; !done; ++i)
            op.SetProgressInfo(i % 2 ? a : b);
    });
    int torn = 0;
    for (int i = 0; i < 20000; ++i) {
        const _PROGRESS_INFO r = op.GetProgressInfo();
        if (std::memcmp(&r, &a, sizeof r) != 0 && std::memcmp(&r, &b, sizeof r) != 0) ++torn;
    }
    done = true;
    writer.join();
    EXPECT_EQ(torn, 0);
}

} // namespace
