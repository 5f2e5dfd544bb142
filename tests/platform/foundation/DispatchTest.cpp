// ctest-labels: concurrency
#include "foundation/Dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

namespace cliploop::dispatch {
namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = 20s;  // only a fault makes a wait this long

TEST(Dispatch, MainQueueRunsWorkFromManyThreadsInOrderOnlyWhenDrainedOnTheMainThread) {
    markMainThread();
    std::vector<std::vector<int>> ran(4);  // per submitting thread
    std::vector<std::thread> submitters;
    for (int t = 0; t < 4; ++t)
        submitters.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i)
                mainAsync([&, t, i] { ran[t].push_back(i + 50 * !isMainThread()); });
        });
    for (auto& thread : submitters) thread.join();
    EXPECT_TRUE(ran[0].empty());
    EXPECT_EQ(drainMainQueue(), 200);
    std::vector<int> inOrder(50);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    for (const auto& items : ran) EXPECT_EQ(items, inOrder);  // each in order, on this thread

    // Work queued by work waits for the next drain; a nested (modal) drain keeps the order.
    std::vector<int> order;
    mainAsync([&] {
        order.push_back(1);
        mainAsync([&] { order.push_back(3); });
    });
    mainAsync([&] { order.push_back(2); });
    EXPECT_EQ(drainMainQueue(), 2);
    EXPECT_EQ(drainMainQueue(), 1);
    mainAsync([&] {
        order.push_back(4);
        drainMainQueue();
    });
    mainAsync([] { throw std::runtime_error("bad clip"); });
    mainAsync([&] { order.push_back(5); });
    drainMainQueue();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST(Dispatch, GlobalQueueRunsItemsAtOnceOffTheMainThreadAndThrowingWorkStopsNothing) {
    markMainThread();
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
}

TEST(Dispatch, TheGlobalQueueIsIdleOnlyOnceItsWorkAndTheWorkThatWorkQueuedHaveRun) {
    std::promise<void> open;
    std::shared_future<void> gate = open.get_future().share();
    std::atomic<int> ran{0};
    globalAsync([&, gate] {
        gate.wait();
        globalAsync([&] { ++ran; });
        ++ran;
    });
    EXPECT_FALSE(waitUntilGlobalIdle(0ms));
    open.set_value();
    ASSERT_TRUE(waitUntilGlobalIdle(kPatience));
    EXPECT_EQ(ran.load(), 2);
}

}  // namespace
}  // namespace cliploop::dispatch
