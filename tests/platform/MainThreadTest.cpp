#include "platform/MainThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace salvor::platform;
using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

TEST(MainThread, PostIsQueuedEvenOnTheMainThreadAndRunsInOrder) {
    ASSERT_TRUE(isMainThread());
    std::vector<int> order;
    postToMainThread([&] { order.push_back(1); });
    postToMainThread([&] { order.push_back(2); });
    EXPECT_TRUE(order.empty());
    ASSERT_TRUE(runUntil([&] { return order.size() == 2; }, 5s));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(MainThread, PostFromAWorkerRunsOnTheMainThread) {
    std::atomic<bool> onMain{false}, ran{false};
    std::thread([&] {
        EXPECT_FALSE(isMainThread());
        postToMainThread([&] {
            onMain = isMainThread();
            ran = true;
        });
    }).join();
    ASSERT_TRUE(runUntil([&] { return ran.load(); }, 5s));
    EXPECT_TRUE(onMain.load());
}

TEST(MainThread, DelayedPerformWaitsForItsDelay) {
    const auto start = steady_clock::now();
    steady_clock::time_point ranAt;
    bool ran = false;
    ASSERT_NE(performAfterDelay(60ms, [&] {
                  ran = true;
                  ranAt = steady_clock::now();
              }),
              0u);
    EXPECT_FALSE(ran);
    ASSERT_TRUE(runUntil([&] { return ran; }, 5s));
    EXPECT_GE(duration_cast<milliseconds>(ranAt - start).count(), 55);
}

TEST(MainThread, ZeroDelayStillWaitsForTheLoop) {
    bool ran = false;
    performAfterDelay(0ms, [&] { ran = true; });
    EXPECT_FALSE(ran);
    ASSERT_TRUE(runUntil([&] { return ran; }, 5s));
}

TEST(MainThread, CancelledPerformsNeverRun) {
    int target = 0;
    bool a = false, b = false, c = false, kept = false;
    const PerformId ia = performAfterDelay(20ms, [&] { a = true; });
    performAfterDelay(20ms, [&] { b = true; }, &target);
    performAfterDelay(20ms, [&] { c = true; }, &target);
    performAfterDelay(40ms, [&] { kept = true; });
    cancelPerform(ia); // before its timer was even armed
    ASSERT_TRUE(runUntil([] { return true; }, 1ms));
    cancelPerforms(&target);
    ASSERT_TRUE(runUntil([&] { return kept; }, 5s));
    runUntil([] { return false; }, 50ms);
    EXPECT_FALSE(a);
    EXPECT_FALSE(b);
    EXPECT_FALSE(c);
    EXPECT_EQ(pendingPerforms(), 0u);
    cancelPerform(ia); // again: nothing happens
}

TEST(MainThread, PerformRequestedAndCancelledFromAWorker) {
    std::atomic<bool> ran{false}, cancelledRan{false}, onMain{false};
    std::thread([&] {
        performAfterDelay(10ms, [&] {
            onMain = isMainThread();
            ran = true;
        });
        const PerformId id = performAfterDelay(10ms, [&] { cancelledRan = true; });
        cancelPerform(id);
    }).join();
    ASSERT_TRUE(runUntil([&] { return ran.load(); }, 5s));
    runUntil([] { return false; }, 40ms);
    EXPECT_TRUE(onMain.load());
    EXPECT_FALSE(cancelledRan.load());
}

TEST(MainThread, RunUntilGivesUpAtItsTimeout) {
    const auto start = steady_clock::now();
    EXPECT_FALSE(runUntil([] { return false; }, 30ms));
    EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - start).count(), 25);
}

} // namespace
