#include "platform/MainThread.h"
#include "platform/Threads.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>

using namespace salvor::platform;
using namespace std::chrono_literals;

namespace {

std::size_t stackOfThisThread() {
    pthread_attr_t attr;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &size);
        pthread_attr_destroy(&attr);
    }
    return size;
}

std::size_t stackOfAWorkerAsking(std::size_t bytes) {
    std::atomic<std::size_t> seen{0};
    std::atomic<bool> done{false};
    EXPECT_TRUE(startDetachedThread(
        [&] {
            seen = stackOfThisThread();
            done = true;
        },
        bytes, "stack-probe"));
    EXPECT_TRUE(runUntil([&] { return done.load(); }, 5s));
    return seen.load();
}

TEST(Threads, TwoMiBRequestStillGetsTheLinuxDefault) {
    EXPECT_GE(effectiveStackSize(2u << 20), kMinimumThreadStack);
    EXPECT_GE(stackOfAWorkerAsking(2u << 20), kMinimumThreadStack);
}

TEST(Threads, LargerRequestIsHonoured) {
    EXPECT_GE(stackOfAWorkerAsking(32u << 20), 32u << 20);
}

TEST(Threads, EmptyBodyIsRefused) { EXPECT_FALSE(startDetachedThread({}, 0)); }

} // namespace
