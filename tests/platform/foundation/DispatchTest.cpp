// ctest-labels: concurrency
#include "foundation/Dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace cliploop::dispatch {
namespace {

using namespace std::chrono_literals;

// Generous: only a fault makes a wait this long.
constexpr auto kPatience = 20s;

class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        markMainThread();
        drainMainQueue();
    }
    void TearDown() override {
        setMainQueueWakeup(nullptr);
        drainMainQueue();
    }
};

TEST_F(Dispatch, MainQueueRunsWorkInSubmissionOrderOnlyWhenDrainedOnTheMainThread) {
    std::vector<int> order;
    std::atomic<int> offMain{0};
    std::thread submitter([&] {
        for (int i = 0; i < 100; ++i) {
            mainAsync([&order, &offMain, i] {
                if (!isMainThread()) ++offMain;
                order.push_back(i);
            });
        }
    });
    submitter.join();
    EXPECT_TRUE(order.empty());

    EXPECT_EQ(drainMainQueue(), 100);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(offMain.load(), 0);
    EXPECT_EQ(drainMainQueue(), 0);
}

TEST_F(Dispatch, WorkQueuedByMainQueueWorkWaitsForTheNextDrain) {
    std::vector<std::string> order;
    mainAsync([&] {
        order.push_back("first");
        mainAsync([&] { order.push_back("queued by first"); });
    });
    mainAsync([&] { order.push_back("second"); });

    EXPECT_EQ(drainMainQueue(), 2);
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(drainMainQueue(), 1);
    EXPECT_EQ(order.back(), "queued by first");
}

TEST_F(Dispatch, NestedDrainKeepsSubmissionOrder) {
    std::vector<int> order;
    mainAsync([&] {
        order.push_back(1);
        drainMainQueue();  // as a modal loop run by an item would
    });
    mainAsync([&] { order.push_back(2); });
    mainAsync([&] { order.push_back(3); });
    drainMainQueue();
    drainMainQueue();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(Dispatch, WakeupIsAskedForWhenWorkArrivesAndForWorkQueuedBeforeItWasInstalled) {
    mainAsync([] {});
    std::atomic<int> wakeups{0};
    setMainQueueWakeup([&] { ++wakeups; });
    EXPECT_EQ(wakeups.load(), 1);  // for the work already waiting
    drainMainQueue();

    std::thread([] { mainAsync([] {}); }).join();
    EXPECT_GE(wakeups.load(), 2);
    const int before = wakeups.load();
    drainMainQueue();
    mainAsync([] {});
    EXPECT_GT(wakeups.load(), before);  // every drain re-arms the wakeup
}

TEST_F(Dispatch, UninstallingTheWakeupWaitsForACallInProgress) {
    std::atomic<bool> inWakeup{false};
    std::atomic<bool> letGo{false};
    std::atomic<bool> uninstalled{false};
    setMainQueueWakeup([&] {
        inWakeup = true;
        while (!letGo) std::this_thread::sleep_for(100us);
        inWakeup = false;
    });
    std::thread submitter([] { mainAsync([] {}); });
    ASSERT_TRUE(runMainQueueUntil([&] { return inWakeup.load(); }, kPatience));
    std::thread loopGoingAway([&] {
        setMainQueueWakeup(nullptr);
        uninstalled = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(uninstalled.load());
    letGo = true;
    loopGoingAway.join();
    submitter.join();
    EXPECT_FALSE(inWakeup.load());
}

TEST_F(Dispatch, GlobalQueueRunsOffTheMainThreadAndSeveralItemsAtOnce) {
    std::mutex mutex;
    std::condition_variable changed;
    int arrived = 0;
    bool bothMet = true;
    std::atomic<int> onMain{0};
    std::atomic<int> finished{0};
    for (int i = 0; i < 2; ++i) {
        globalAsync([&] {
            if (isMainThread()) ++onMain;
            std::unique_lock lock(mutex);
            ++arrived;
            changed.notify_all();
            // Each item waits for the other: only a pool running both at
            // once lets them meet.
            if (!changed.wait_for(lock, kPatience, [&] { return arrived == 2; })) bothMet = false;
            lock.unlock();
            ++finished;
        });
    }
    ASSERT_TRUE(runMainQueueUntil([&] { return finished.load() == 2; }, kPatience));
    std::lock_guard lock(mutex);
    EXPECT_TRUE(bothMet);
    EXPECT_EQ(onMain.load(), 0);
}

TEST_F(Dispatch, ResultHandedBackToTheMainQueueEndsRunMainQueueUntil) {
    bool delivered = false;
    bool deliveredOnMain = false;
    globalAsync([&] {
        mainAsync([&] {
            delivered = true;
            deliveredOnMain = isMainThread();
        });
    });
    EXPECT_TRUE(runMainQueueUntil([&] { return delivered; }, kPatience));
    EXPECT_TRUE(deliveredOnMain);

    EXPECT_FALSE(runMainQueueUntil([] { return false; }, 5ms));
}

TEST_F(Dispatch, ThrowingWorkDoesNotStopEitherQueue) {
    for (int i = 0; i < 8; ++i) globalAsync([] { throw std::runtime_error("bad clip"); });
    std::atomic<int> ran{0};
    for (int i = 0; i < 8; ++i) globalAsync([&] { ++ran; });
    EXPECT_TRUE(runMainQueueUntil([&] { return ran.load() == 8; }, kPatience));

    bool after = false;
    mainAsync([] { throw std::runtime_error("bad clip"); });
    mainAsync([&] { after = true; });
    EXPECT_EQ(drainMainQueue(), 2);
    EXPECT_TRUE(after);
}

}  // namespace
}  // namespace cliploop::dispatch
