#include "engine/utility/MessageCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Waits up to a generous bound for a condition (a hang guard, not a timing).
template <class F>
bool Eventually(F f) {
    for (int i = 0; i < 1000 && !f(); ++i) std::this_thread::sleep_for(10ms);
    return f();
}

class Recorder : public INotifyCenter {
public:
    explicit Recorder(int id = 0, std::vector<int>* order = nullptr) : m_id(id), m_order(order) {}
    void OnEvent(_MSG_EVENT* e) override {
        {
            std::lock_guard l(mutex);
            if (m_order) m_order->push_back(m_id);
            lastType = e->type;
            lastData.assign(e->data.begin(), e->data.end());
        }
        ++count;
        if (hook) hook();
    }
    std::mutex mutex; // guards the last event (deliveries come from the centre's one thread)
    std::atomic<int> count{0};
    std::uint32_t lastType = 0;
    std::string lastData;
    std::function<void()> hook;

private:
    int m_id;
    std::vector<int>* m_order;
};

TEST(MessageCenter, EveryReceiverGetsACopyInIdOrder) {
    CMessageCenter center;
    center.StartReceiveMessage();
    center.PushEvent(EVENT_VOLUME_READ_FAILED, 0, nullptr); // no receivers: dropped by the thread
    EXPECT_TRUE(Eventually([&] { return center.QueuedCount() == 0; }));
    std::vector<int> order;
    Recorder a(5, &order), b(2, &order);
    EXPECT_TRUE(center.RegisterNotifyCenter(5, &a));
    EXPECT_TRUE(center.RegisterNotifyCenter(2, &b));
    EXPECT_FALSE(center.RegisterNotifyCenter(2, &a));
    EXPECT_FALSE(center.RegisterNotifyCenter(9, nullptr));
    EXPECT_EQ(center.GetNotifyCenter(5), &a);
    center.PushEvent(EVENT_VOLUME_READ_FAILED, 3, "abc");
    ASSERT_TRUE(Eventually([&] { return a.count == 1 && b.count == 1; }));
    EXPECT_EQ(order, (std::vector<int>{2, 5}));
    std::lock_guard l(a.mutex);
    EXPECT_EQ(a.lastType, EVENT_VOLUME_READ_FAILED);
    EXPECT_EQ(a.lastData, "abc");
    center.UnregisterNotifyCenter(5);
    EXPECT_EQ(center.GetNotifyCenter(5), nullptr);
    center.UpdateNotifyCenter(2, &a);
    EXPECT_EQ(center.GetNotifyCenter(2), &a);
}

TEST(MessageCenter, ReceiversAreCalledWithoutTheLock) {
    CMessageCenter center;
    center.StartReceiveMessage();
    Recorder r;
    std::atomic<bool> reached{false};
    // Touching the centre from inside a delivery would deadlock if the lock were held.
    r.hook = [&] {
        center.GetNotifyCenter(1);
        center.PushEvent(EVENT_VOLUME_READ_FAILED, 0, nullptr);
        reached = true;
    };
    center.RegisterNotifyCenter(1, &r);
    center.PushEvent(EVENT_VOLUME_READ_FAILED, 0, nullptr);
    EXPECT_TRUE(Eventually([&] { return reached.load(); }));
    center.UnregisterNotifyCenter(1);
}

TEST(MessageCenter, ABurstIsBoundedAndDrainedInOneRound) {
    CMessageCenter center;
    center.StartReceiveMessage();
    Recorder r;
    center.RegisterNotifyCenter(1, &r);
    for (int i = 0; i < 100000; ++i) center.PushEvent(EVENT_VOLUME_READ_FAILED, 0, nullptr);
    EXPECT_LE(center.QueuedCount(), CMessageCenter::kMaxQueued);
    EXPECT_TRUE(Eventually([&] { return center.QueuedCount() == 0; }));
    EXPECT_GE(r.count.load(), static_cast<int>(CMessageCenter::kMaxQueued));
    center.UnregisterNotifyCenter(1);
}

TEST(MessageCenter, StopAndStartDropsQueuedEvents) {
    CMessageCenter center;
    Recorder r;
    center.RegisterNotifyCenter(1, &r);
    center.PushEvent(EVENT_VOLUME_READ_FAILED, 0, nullptr); // not running: ignored
    EXPECT_EQ(center.QueuedCount(), 0u);
    center.StartReceiveMessage();
    EXPECT_TRUE(center.IsRunning());
    center.StopReceiveMessage();
    EXPECT_FALSE(center.IsRunning());
    center.StartReceiveMessage();
    center.PushEvent(EVENT_VOLUME_READ_FAILED, 0, nullptr);
    EXPECT_TRUE(Eventually([&] { return r.count == 1; }));
    center.Shutdown();
    EXPECT_EQ(center.GetNotifyCenter(1), nullptr);
}

TEST(MessageCenter, UnregisterWaitsForADeliveryInProgress) {
    CMessageCenter center;
    center.StartReceiveMessage();
    std::promise<void> entered;
    std::atomic<bool> release{false}, finished{false};
    Recorder r;
    r.hook = [&] {
        entered.set_value();
        while (!release) std::this_thread::sleep_for(1ms);
        finished = true;
    };
    center.RegisterNotifyCenter(1, &r);
    center.PushEvent(EVENT_VOLUME_READ_FAILED, 0, nullptr);
    entered.get_future().wait();
    auto unregistered = std::async(std::launch::async, [&] { center.UnregisterNotifyCenter(1); });
    EXPECT_EQ(unregistered.wait_for(50ms), std::future_status::timeout);
    release = true;
    unregistered.get();
    EXPECT_TRUE(finished);
}

} // namespace
