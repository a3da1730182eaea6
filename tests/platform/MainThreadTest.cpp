#include "platform/MainThread.h"
#include "platform/Threads.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace salvor::platform;
using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

TEST(MainThread, PostsAreQueuedInOrderAndRunOnTheMainThread) {
    ASSERT_TRUE(isMainThread());
    std::vector<int> order;
    postToMainThread([&] { order.push_back(1); }); // queued even on the main thread
    std::atomic<bool> onMain{false};
    std::thread([&] {
        EXPECT_FALSE(isMainThread());
        postToMainThread([&] {
            onMain = isMainThread();
            order.push_back(2);
        });
    }).join();
    EXPECT_TRUE(order.empty());
    ASSERT_TRUE(runUntil([&] { return order.size() == 2; }, 5s));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_TRUE(onMain.load());
}

TEST(MainThread, DelayedPerformsWaitForTheirDelayAndTheLoop) {
    for (milliseconds delay : {60ms, 0ms}) {
        const auto start = steady_clock::now();
        steady_clock::time_point ranAt;
        bool ran = false;
        ASSERT_NE(performAfterDelay(delay, [&] { ran = true, ranAt = steady_clock::now(); }), 0u);
        EXPECT_FALSE(ran);
        ASSERT_TRUE(runUntil([&] { return ran; }, 5s));
        EXPECT_GE(ranAt - start, delay - 5ms);
    }
    const auto start = steady_clock::now(); // runUntil gives up at its time-out
    EXPECT_FALSE(runUntil([] { return false; }, 30ms));
    EXPECT_GE(steady_clock::now() - start, 25ms);
}

TEST(MainThread, CancelledPerformsNeverRun) {
    int target = 0;
    bool a = false, b = false, c = false, kept = false;
    const PerformId ia = performAfterDelay(20ms, [&] { a = true; });
    performAfterDelay(
        20ms, [&] { b = true; }, &target);
    performAfterDelay(
        20ms, [&] { c = true; }, &target);
    performAfterDelay(40ms, [&] { kept = true; });
    cancelPerform(ia); // before its timer was even armed
    ASSERT_TRUE(runUntil([] { return true; }, 1ms));
    cancelPerforms(&target);
    ASSERT_TRUE(runUntil([&] { return kept; }, 5s));
    runUntil([] { return false; }, 50ms);
    EXPECT_FALSE(a || b || c);
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
        cancelPerform(performAfterDelay(10ms, [&] { cancelledRan = true; }));
    }).join();
    ASSERT_TRUE(runUntil([&] { return ran.load(); }, 5s));
    runUntil([] { return false; }, 40ms);
    EXPECT_TRUE(onMain.load());
    EXPECT_FALSE(cancelledRan.load());
}

// The stack a detached worker really got when asking for `bytes`.
std::size_t StackOfAWorkerAsking(std::size_t bytes) {
    std::atomic<std::size_t> seen{0};
    std::atomic<bool> done{false};
    EXPECT_TRUE(startDetachedThread(
        [&] {
            pthread_attr_t attr;
            std::size_t size = 0;
            if (pthread_getattr_np(pthread_self(), &attr) == 0) {
                pthread_attr_getstacksize(&attr, &size);
                pthread_attr_destroy(&attr);
            }
            seen = size;
            done = true;
        },
        bytes, "stack-probe"));
    EXPECT_TRUE(runUntil([&] { return done.load(); }, 5s));
    return seen.load();
}

TEST(Threads, WorkersGetAtLeastTheSystemDefaultStack) {
    EXPECT_GE(StackOfAWorkerAsking(2u << 20), kMinimumThreadStack); // a 2 MiB request is raised
    EXPECT_GE(StackOfAWorkerAsking(32u << 20), 32u << 20);          // a larger one honoured
    EXPECT_FALSE(startDetachedThread({}, 0));                       // an empty body refused
}

} // namespace
