// ctest-labels: concurrency
// The main and global queues, the repeating timer and the notification center across threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <ranges>
#include <semaphore>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/Eventually.h"
#include "foundation/Dispatch.h"
#include "foundation/NotificationCenter.h"
#include "foundation/RepeatingTimer.h"

namespace cliploop {
namespace {

using namespace std::chrono_literals;
using namespace dispatch;
using Clock = std::chrono::steady_clock;
using testing::eventually;
constexpr auto kPatience = 20s;  // only a fault makes a wait this long

TEST(Dispatch, MainQueueRunsWorkFromManyThreadsInOrderOnlyWhenDrainedOnTheMainThread) {
    markMainThread();
    std::vector<std::vector<int>> ran(4);                               // per submitting thread
    for (std::vector<std::jthread> submitters; submitters.size() < 4;)  // joined as it ends
        submitters.emplace_back([&, t = submitters.size()] {
            for (int i = 0; i < 50; ++i)
                mainAsync([&, t, i] { ran[t].push_back(i + 50 * !isMainThread()); });
        });
    EXPECT_TRUE(ran[0].empty() && drainMainQueue() == 200);
    for (const auto& items : ran)  // each in order, on this thread
        EXPECT_TRUE(std::ranges::equal(items, std::views::iota(0, 50)));
    // Work queued by work waits for the next drain; a nested (modal) drain keeps the order.
    std::vector<int> order;
    mainAsync([&] {
        order.push_back(1);
        mainAsync([&] { order.push_back(3); });
    });
    mainAsync([&] { order.push_back(2); });
    EXPECT_TRUE(drainMainQueue() == 2 && drainMainQueue() == 1);
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
    for (int i = 0; i < 2; ++i)
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
    ASSERT_TRUE(runMainQueueUntil([&] { return reported.load() == 2; }, kPatience));
    EXPECT_TRUE(met.load() == 2 && onMain.load() == 0);
}

TEST(RepeatingTimer, TicksRunOneAtATimeOnOneWorkerAndSkipMissedDeadlines) {
    constexpr auto interval = 40ms;
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::vector<Clock::time_point> starts, ends;
    RepeatingTimer timer(interval, [&] {
        const auto start = Clock::now();
        std::lock_guard lock(mutex);
        std::this_thread::sleep_for(starts.empty() ? interval * 6 : 1ms);  // the first overruns
        threads.insert(std::this_thread::get_id());
        starts.push_back(start);
        ends.push_back(Clock::now());
    });
    timer.start();
    timer.start();  // a second start changes nothing
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return starts.size() >= 3;
    }));
    timer.cancel();  // one worker, not this one, so no two ticks ever overlapped
    ASSERT_TRUE(threads.size() == 1 && !threads.contains(std::this_thread::get_id()));
    EXPECT_GE(starts[2] - ends[0], interval);  // piled-up ticks would follow the overrun at once
}

TEST(RepeatingTimer, FirstTickComesAtOnceAndCancelWaitsForItThenReleasesTheHandlerForGood) {
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    std::binary_semaphore inTick{0}, letGo{0};
    std::atomic<int> ticks{0};
    RepeatingTimer timer(std::chrono::hours(1), [&, token] {
        inTick.release();
        letGo.acquire();
        ++ticks;
    });
    token.reset();
    timer.start();
    inTick.acquire();
    std::thread releaser([&] {
        std::this_thread::sleep_for(20ms);  // a cancel that does not wait shows here
        letGo.release();
    });
    timer.cancel();  // also ends the hour-long wait that follows the tick
    EXPECT_EQ(ticks.load(), 1);
    releaser.join();
    timer.start();  // a cancelled timer stays cancelled
    EXPECT_TRUE(watch.expired() && !timer.isRunning());
}

// An owner holds its timer, whose handler holds the owner.
TEST(RepeatingTimer, CancelBreaksTheCycleBetweenAnOwnerAndItsHandlerFromInsideAndOutside) {
    struct Owner {
        std::unique_ptr<RepeatingTimer> timer;
        std::atomic<int> ticks{0};
    };
    auto outside = std::make_shared<Owner>(), inside = std::make_shared<Owner>();
    const std::weak_ptr<Owner> watchOutside = outside, watchInside = inside;
    outside->timer = std::make_unique<RepeatingTimer>(1ms, [outside] { ++outside->ticks; });
    inside->timer = std::make_unique<RepeatingTimer>(1ms, [inside] {  // cancelled from within
        if (++inside->ticks == 3) inside->timer->cancel();
    });
    outside->timer->start();
    inside->timer->start();
    ASSERT_TRUE(eventually([&] { return outside->ticks >= 2; }));
    RepeatingTimer* timer = outside->timer.get();
    outside.reset();
    inside.reset();
    timer->cancel();  // destroys the owner, and with it the timer
    EXPECT_TRUE(watchOutside.expired() && eventually([&] { return watchInside.expired(); }));
}

int observerA, observerB, observerC, senderX, senderY;  // identities only
using Calls = std::vector<std::string>;

// Handlers that log their label and the notification's string object if any.
struct Log {
    Calls calls;
    NotificationCenter::Handler operator()(std::string label) {
        return [this, label](const Notification& n) {
            const auto* object = std::any_cast<std::string>(&n.object);
            calls.push_back(label + (object ? ":" + *object : ""));
        };
    }
};

TEST(NotificationCenter, DeliversInOrderWithinThePostThroughFiltersAndHandlersMayChangeTheList) {
    NotificationCenter center;
    Log log;
    center.addObserver(&observerB, "Tick", nullptr, log("b"));
    center.addObserver(&observerA, "Tick", &senderX, log("a-x"));
    center.addObserver(&observerA, "Other", nullptr, log("a-other"));
    center.post("Tick", &senderX, std::string("/clips/x.mov"));
    center.post("Tick", &senderY);
    EXPECT_EQ(log.calls, (Calls{"b:/clips/x.mov", "a-x:/clips/x.mov", "b"}));  // before returning
    log.calls.clear();
    center.removeObserver(&observerA, std::string("Tick"));
    center.post("Tick", &senderX);
    center.post("Other");
    center.removeObserver(&observerA);
    center.post("Other");
    EXPECT_EQ(log.calls, (Calls{"b", "a-other"}));
    center.removeObserver(&observerB);
    log.calls.clear();  // handlers may add, remove and post during a delivery
    center.addObserver(&observerA, "N", nullptr, [&](const Notification&) {
        log.calls.push_back("a");
        center.removeObserver(&observerA);                          // itself
        center.removeObserver(&observerC);                          // a later one of this delivery
        center.addObserver(&observerA, "N", nullptr, log("late"));  // from the next post on
        center.post("Inner");
        log.calls.push_back("a-after");
    });
    center.addObserver(&observerB, "N", nullptr, log("b"));
    center.addObserver(&observerC, "N", nullptr, log("c"));
    center.addObserver(&observerB, "Inner", nullptr, [&](const Notification&) {
        log.calls.push_back("inner");
        if (log.calls.size() < 3) center.post("Inner");  // the same name, nested
    });
    center.post("N");
    center.post("N");
    EXPECT_EQ(log.calls, (Calls{"a", "inner", "inner", "a-after", "b", "b", "late"}));
}

TEST(NotificationCenter, AcrossThreadsNoCallStartsAfterRemovalAndNoDeliveryIsLost) {
    NotificationCenter center;
    std::binary_semaphore firstRunning{0}, removed{0};
    std::atomic<int> secondCalls{0};
    center.addObserver(&observerA, "N", nullptr, [&](const Notification&) {
        firstRunning.release();
        removed.acquire();
    });
    center.addObserver(&observerB, "N", nullptr, [&](const Notification&) { ++secondCalls; });
    std::thread poster([&] { center.post("N"); });
    firstRunning.acquire();  // the delivery on the poster holds observerB in its list now
    center.removeObserver(&observerB);
    removed.release();
    poster.join();
    EXPECT_EQ(secondCalls.load(), 0);
    center.removeObserver(&observerA);  // then posts from many threads amid changes lose nothing
    std::atomic<int> steady{0};
    center.addObserver(&observerA, "N", nullptr, [&](const Notification&) { ++steady; });
    for (std::vector<std::jthread> posters; posters.size() < 4;)  // all joined as the loop ends
        posters.emplace_back([&, t = posters.size()] {
            for (int i = 0; i < 2000; ++i) {
                center.post("N", t % 2 ? &senderX : nullptr);
                if (t == 0) center.addObserver(&observerB, "N", nullptr, [](auto&) {});
                if (t == 1) center.removeObserver(&observerB);
            }
        });
    EXPECT_EQ(steady.load(), 4 * 2000);
}

}  // namespace
}  // namespace cliploop
