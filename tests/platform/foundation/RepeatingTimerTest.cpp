// ctest-labels: concurrency
#include "foundation/RepeatingTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace cliploop {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: only a fault makes a wait this long.
constexpr auto kPatience = 20s;

// A tick counter that a test can wait on.
struct Ticks {
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;

    void add() {
        std::lock_guard lock(mutex);
        ++count;
        changed.notify_all();
    }
    bool waitFor(int n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kPatience, [&] { return count >= n; });
    }
    int get() {
        std::lock_guard lock(mutex);
        return count;
    }
};

template <typename Predicate>
bool eventually(Predicate done) {
    const auto deadline = Clock::now() + kPatience;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(RepeatingTimer, FirstTickComesAtOnceAfterStart) {
    Ticks ticks;
    // With an hour's interval, only an immediate first tick can arrive.
    RepeatingTimer timer(std::chrono::hours(1), [&] { ticks.add(); });
    EXPECT_FALSE(timer.isRunning());
    timer.start();
    EXPECT_TRUE(timer.isRunning());
    EXPECT_TRUE(ticks.waitFor(1));
    EXPECT_EQ(ticks.get(), 1);
}

TEST(RepeatingTimer, TicksRunOneAtATimeOnOneWorkerThreadEvenWhenTheyOverrun) {
    Ticks ticks;
    std::atomic<bool> inTick{false};
    std::atomic<int> overlaps{0};
    std::mutex threadsMutex;
    std::set<std::thread::id> threads;
    RepeatingTimer timer(1ms, [&] {
        if (inTick.exchange(true)) ++overlaps;
        {
            std::lock_guard lock(threadsMutex);
            threads.insert(std::this_thread::get_id());
        }
        std::this_thread::sleep_for(3ms);  // longer than the interval
        inTick = false;
        ticks.add();
    });
    timer.start();
    timer.start();  // a second start changes nothing
    ASSERT_TRUE(ticks.waitFor(20));
    timer.cancel();

    EXPECT_EQ(overlaps.load(), 0);
    std::lock_guard lock(threadsMutex);
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
}

TEST(RepeatingTimer, DeadlinesMissedDuringAnOverrunAreSkippedNotPiledUp) {
    // Lower bounds only: a timer never fires early, so these hold on any load.
    constexpr auto interval = 40ms;
    std::mutex mutex;
    std::vector<Clock::time_point> starts, ends;
    Ticks ticks;
    RepeatingTimer timer(interval, [&] {
        const auto start = Clock::now();
        const bool first = ticks.get() == 0;
        if (first) std::this_thread::sleep_for(interval * 6);  // misses about five deadlines
        {
            std::lock_guard lock(mutex);
            starts.push_back(start);
            ends.push_back(Clock::now());
        }
        ticks.add();
    });
    timer.start();
    ASSERT_TRUE(ticks.waitFor(3));
    timer.cancel();

    std::lock_guard lock(mutex);
    // Piled-up ticks would follow the overrun back to back. Skipping puts the
    // second tick on the first deadline after the overrun and the third a
    // full interval after that.
    EXPECT_GE(starts[1], ends[0]);
    EXPECT_GE(starts[2] - ends[0], interval);
}

TEST(RepeatingTimer, CancelWaitsForTheRunningTickThenReleasesTheHandler) {
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    std::atomic<bool> inTick{false};
    std::atomic<bool> letGo{false};
    std::atomic<int> ticks{0};
    RepeatingTimer timer(1ms, [&, token] {
        inTick = true;
        while (!letGo) std::this_thread::sleep_for(100us);
        ++ticks;
        inTick = false;
    });
    token.reset();
    timer.start();
    ASSERT_TRUE(eventually([&] { return inTick.load(); }));

    std::thread releaser([&] {
        std::this_thread::sleep_for(20ms);
        letGo = true;
    });
    timer.cancel();
    releaser.join();

    EXPECT_FALSE(inTick.load());
    EXPECT_EQ(ticks.load(), 1);
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(timer.isRunning());
    timer.start();  // a cancelled timer stays cancelled
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(ticks.load(), 1);
}

TEST(RepeatingTimer, CancelFromInsideTheHandlerStopsFurtherTicksWithoutDeadlock) {
    Ticks ticks;
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    RepeatingTimer* self = nullptr;
    RepeatingTimer timer(1ms, [&, token] {
        ticks.add();
        if (ticks.get() == 3) self->cancel();
    });
    self = &timer;
    token.reset();
    timer.start();

    // The handler is released by the timer's thread once the cancelling tick
    // has returned; after that no tick can come.
    ASSERT_TRUE(eventually([&] { return watch.expired(); }));
    EXPECT_EQ(ticks.get(), 3);
    EXPECT_FALSE(timer.isRunning());
}

// An owner holds its timer and the timer's handler holds the owner, as the
// window's controller and its frame pump do.
struct Owner {
    std::unique_ptr<RepeatingTimer> timer;
    Ticks ticks;
};

TEST(RepeatingTimer, CancelBreaksTheCycleBetweenAnOwnerAndItsHandler) {
    auto owner = std::make_shared<Owner>();
    std::weak_ptr<Owner> watch = owner;
    owner->timer = std::make_unique<RepeatingTimer>(1ms, [owner] { owner->ticks.add(); });
    owner->timer->start();
    ASSERT_TRUE(owner->ticks.waitFor(2));

    RepeatingTimer* timer = owner->timer.get();
    owner.reset();
    timer->cancel();  // destroys the owner, and with it the timer

    EXPECT_TRUE(watch.expired());
}

TEST(RepeatingTimer, HandlerThatCancelsMayDestroyItsOwnTimer) {
    auto owner = std::make_shared<Owner>();
    std::weak_ptr<Owner> watch = owner;
    owner->timer = std::make_unique<RepeatingTimer>(1ms, [owner] {
        owner->ticks.add();
        if (owner->ticks.get() == 2) owner->timer->cancel();
    });
    owner->timer->start();
    owner.reset();

    // The last reference goes with the handler, on the timer's own thread.
    EXPECT_TRUE(eventually([&] { return watch.expired(); }));
}

TEST(RepeatingTimer, DestructorCancels) {
    std::atomic<int> ticks{0};
    {
        RepeatingTimer timer(1ms, [&] { ++ticks; });
        timer.start();
        ASSERT_TRUE(eventually([&] { return ticks.load() >= 2; }));
    }
    const int atDestruction = ticks.load();
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(ticks.load(), atDestruction);
}

}  // namespace
}  // namespace cliploop
