// ctest-labels: concurrency
#include "foundation/Dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <semaphore>
#include <stdexcept>
#include <thread>
#include <vector>

namespace cliploop::dispatch {
namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = 20s;  // only a fault makes a wait this long

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
    std::thread([&] {
        for (int i = 0; i < 50; ++i) {
            mainAsync([&order, &offMain, i] {
                offMain += !isMainThread();
                order.push_back(i);
            });
        }
    }).join();
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(drainMainQueue(), 50);
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(offMain.load(), 0);

    // Work queued by work waits for the next drain.
    order.clear();
    mainAsync([&] {
        order.push_back(1);
        mainAsync([&] { order.push_back(3); });
    });
    mainAsync([&] { order.push_back(2); });
    EXPECT_EQ(drainMainQueue(), 2);
    EXPECT_EQ(drainMainQueue(), 1);
    // A nested drain (a modal loop run by an item) keeps submission order.
    mainAsync([&] {
        order.push_back(4);
        drainMainQueue();
    });
    mainAsync([&] { order.push_back(5); });
    mainAsync([&] { order.push_back(6); });
    drainMainQueue();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5, 6}));
}

TEST_F(Dispatch, WakeupIsAskedForPendingAndNewWorkAndUninstallingItWaitsForACallInProgress) {
    mainAsync([] {});
    std::atomic<int> wakeups{0};
    setMainQueueWakeup([&] { ++wakeups; });
    EXPECT_EQ(wakeups.load(), 1);  // for the work queued before it was installed
    drainMainQueue();
    std::thread([] { mainAsync([] {}); }).join();
    EXPECT_GE(wakeups.load(), 2);
    const int before = wakeups.load();
    drainMainQueue();
    mainAsync([] {});
    EXPECT_GT(wakeups.load(), before);  // every drain re-arms the wakeup
    drainMainQueue();

    std::binary_semaphore inWakeup{0}, letGo{0};
    std::atomic<bool> uninstalled{false};
    setMainQueueWakeup([&] {
        inWakeup.release();
        letGo.acquire();
    });
    std::thread submitter([] { mainAsync([] {}); });
    inWakeup.acquire();
    std::thread loopGoingAway([&] {
        setMainQueueWakeup(nullptr);
        uninstalled = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(uninstalled.load());
    letGo.release();
    loopGoingAway.join();
    submitter.join();
}

TEST_F(Dispatch, GlobalQueueRunsItemsAtOnceOffTheMainThreadAndThrowingWorkStopsNoQueue) {
    std::mutex mutex;
    std::condition_variable changed;
    int arrived = 0;
    std::atomic<int> met{0}, onMain{0}, reported{0};
    for (int i = 0; i < 8; ++i) globalAsync([] { throw std::runtime_error("bad clip"); });
    for (int i = 0; i < 2; ++i) {
        globalAsync([&] {
            onMain += isMainThread();
            std::unique_lock lock(mutex);
            ++arrived;
            changed.notify_all();
            // Each item waits for the other: only a pool running both at once lets them meet.
            met += changed.wait_for(lock, kPatience, [&] { return arrived == 2; });
            lock.unlock();
            mainAsync([&] { reported += isMainThread(); });
        });
    }
    ASSERT_TRUE(runMainQueueUntil([&] { return reported.load() == 2; }, kPatience));
    EXPECT_EQ(met.load(), 2);
    EXPECT_EQ(onMain.load(), 0);
    EXPECT_FALSE(runMainQueueUntil([] { return false; }, 5ms));

    bool after = false;
    mainAsync([] { throw std::runtime_error("bad clip"); });
    mainAsync([&] { after = true; });
    EXPECT_EQ(drainMainQueue(), 2);
    EXPECT_TRUE(after);
}

}  // namespace
}  // namespace cliploop::dispatch
