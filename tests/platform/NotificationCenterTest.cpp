#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"

#include <QObject>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace salvor::platform;
using namespace std::chrono_literals;

namespace {

TEST(NotificationCenter, DeliveryAndRemovalByOwnerAndName) {
    NotificationCenter center;
    int a = 0, b = 0, other = 0;
    std::string path;
    center.addObserver(&a, "RefreshDetachDevice", [&](const Notification& n) {
        ++a;
        path = n.value("USBPath") + n.value("missing");
    });
    center.addObserver(&b, "RefreshDetachDevice", [&](const Notification&) { ++b; });
    center.addObserver(&b, "Other", [&](const Notification&) { ++other; });
    center.post("RefreshDetachDevice", {{"USBPath", "SanDisk Cruzer"}});
    EXPECT_EQ(std::tuple(a, b, other, path), std::tuple(1, 1, 0, std::string("SanDisk Cruzer")));
    center.removeObserver(&b, "RefreshDetachDevice");
    center.post("RefreshDetachDevice");
    center.post("Other");
    EXPECT_EQ(std::tuple(a, b, other), std::tuple(2, 1, 1));
    center.removeObserver(&a);
    center.removeObserver(&b);
    center.post("RefreshDetachDevice");
    center.post("Other");
    EXPECT_EQ(std::tuple(a, b, other), std::tuple(2, 1, 1));
    EXPECT_EQ(center.observerCount("RefreshDetachDevice") + center.observerCount("Other"), 0u);
}

TEST(NotificationCenter, HandlersMayRemoveAddAndPostDuringAPost) {
    NotificationCenter center;
    int self = 0, victim = 0, added = 0, nested = 0;
    int selfCalls = 0, victimCalls = 0, addedCalls = 0, nestedCalls = 0;
    center.addObserver(&nested, "Nested", [&](const Notification&) { ++nestedCalls; });
    center.addObserver(&self, "N", [&](const Notification&) {
        ++selfCalls;
        center.removeObserver(&self);
        center.removeObserver(&victim); // registered after this one: not called either
        // Added during the post: not part of this post's snapshot.
        center.addObserver(&added, "N", [&](const Notification&) { ++addedCalls; });
        center.post("Nested");
    });
    center.addObserver(&victim, "N", [&](const Notification&) { ++victimCalls; });
    center.post("N");
    EXPECT_EQ(std::tuple(selfCalls, victimCalls, addedCalls, nestedCalls), std::tuple(1, 0, 0, 1));
    center.post("N");
    EXPECT_EQ(std::tuple(selfCalls, victimCalls, addedCalls), std::tuple(1, 0, 1));
}

TEST(NotificationCenter, DestroyedQObjectOwnersAreNeverCalled) {
    NotificationCenter center;
    int calls = 0;
    auto* owner = new QObject;
    center.addObserver(owner, "N", [&](const Notification&) { ++calls; });
    center.addObserver(owner, "M", [&](const Notification&) { ++calls; });
    center.post("N");
    delete owner;
    EXPECT_EQ(center.observerCount("N") + center.observerCount("M"), 0u);
    center.post("N");
    center.post("M");
    EXPECT_EQ(calls, 1);

    // Destroyed by an earlier handler of the same post.
    auto* victim = new QObject;
    int killer = 0;
    center.addObserver(&killer, "K", [&](const Notification&) { delete victim; });
    center.addObserver(victim, "K", [&](const Notification&) { ++calls; });
    center.post("K");
    EXPECT_EQ(calls, 1);

    // A centre gone before its owners: the owner's end must not reach it.
    auto later = std::make_unique<QObject>();
    auto gone = std::make_unique<NotificationCenter>();
    gone->addObserver(later.get(), "N", [](const Notification&) {});
    gone.reset();
    later.reset();
}

TEST(NotificationCenter, PostFromAThreadRunsOnTheMainThreadNeverInsideTheCall) {
    NotificationCenter center;
    std::atomic<bool> callReturned{false};
    std::atomic<int> calls{0};
    bool onMain = false, ranAfterReturn = false;
    std::string payload;
    int owner = 0;
    center.addObserver(&owner, "DoRecovery", [&](const Notification& n) {
        onMain = isMainThread();
        ranAfterReturn = callReturned.load();
        payload = n.value("k");
        ++calls;
    });
    std::thread([&] {
        EXPECT_TRUE(center.postOnMainThread("DoRecovery", {{"k", "v"}}));
        callReturned = true;
    }).join();
    ASSERT_TRUE(runUntil([&] { return calls.load() == 1; }, 5s));
    EXPECT_TRUE(onMain && ranAfterReturn);
    EXPECT_EQ(payload, "v");
    center.postOnMainThread("DoRecovery"); // on the main thread too the post waits for the loop
    EXPECT_EQ(calls.load(), 1);
    ASSERT_TRUE(runUntil([&] { return calls.load() == 2; }, 5s));
}

// The recovery dialog runs a modal loop inside a handler; later posts must
// still reach observers, the handler's own owner included.
TEST(NotificationCenter, NestedEventLoopInsideAHandlerStillReceivesLaterPosts) {
    NotificationCenter center;
    int dialog = 0, window = 0, progressCalls = 0, finishCalls = 0;
    bool nestedDone = false;
    center.addObserver(&window, "DoRecovery", [&](const Notification&) {
        if (++progressCalls != 1) return;
        // A worker keeps posting while this handler is in its modal run.
        std::thread worker([&] {
            for (int i = 0; i < 3; ++i)
                center.postOnMainThread("DoRecovery");
            center.postOnMainThread("RecoveryFinished");
        });
        nestedDone = runUntil([&] { return finishCalls == 1; }, 5s);
        worker.join();
    });
    center.addObserver(&dialog, "RecoveryFinished", [&](const Notification&) { ++finishCalls; });
    center.postOnMainThread("DoRecovery");
    ASSERT_TRUE(runUntil([&] { return nestedDone; }, 10s));
    EXPECT_EQ(finishCalls, 1);
    EXPECT_EQ(progressCalls, 4);
}

TEST(NotificationCenter, QueuedPostForADestroyedCentreIsDropped) {
    auto center = std::make_unique<NotificationCenter>();
    int owner = 0, calls = 0;
    center->addObserver(&owner, "N", [&](const Notification&) { ++calls; });
    center->postOnMainThread("N");
    center.reset();
    bool later = false;
    postToMainThread([&] { later = true; });
    ASSERT_TRUE(runUntil([&] { return later; }, 5s));
    EXPECT_EQ(calls, 0);
}

TEST(NotificationCenter, ConcurrentPostsAndRemovalsFromThreads) {
    NotificationCenter center;
    std::atomic<int> calls{0};
    std::vector<int> owners(8);
    for (int& o : owners)
        center.addObserver(&o, "N", [&](const Notification&) { ++calls; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                center.post("N");
        });
    threads.emplace_back([&] {
        for (int& o : owners)
            center.removeObserver(&o);
    });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(center.observerCount("N"), 0u);
    const int before = calls.load();
    center.post("N");
    EXPECT_EQ(calls.load(), before);
}

} // namespace
