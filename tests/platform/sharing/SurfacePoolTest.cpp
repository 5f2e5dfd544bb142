// The surface pool: a surface is handed out again only after its last holder
// let go, a full pool's waiter sleeps until one comes back, and surfaces may
// outlive their pool.
// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "common/Eventually.h"
#include "surface/Surface.h"

namespace cliploop::testing {
namespace {

TEST(SurfacePool, ASurfaceComesBackOnlyWhenItsLastHolderLetsGo) {
    SurfacePool pool(1);
    auto first = pool.acquire(64, 32);
    ASSERT_TRUE(first);
    const uint32_t id = first->id();
    auto reader = first;  // a second holder, as a view or the frame server
    first.reset();
    EXPECT_FALSE(pool.acquire(64, 32));
    reader.reset();
    auto again = pool.acquire(64, 32);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->id(), id);
    EXPECT_EQ(pool.liveCount(), 1u);
}

TEST(SurfacePool, SurfacesOfAnotherSizeAreFreedFreeOrOnTheirReturn) {
    struct Case {
        const char* name;
        bool heldThroughResize;
        size_t liveWhileHeld, liveAfter;
    };
    const Case cases[] = {
        {"free when resized", false, 1, 1},
        {"held when resized", true, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SurfacePool pool(2);
        auto old = pool.acquire(64, 64);
        const uint32_t oldId = old->id();
        if (!c.heldThroughResize) old.reset();
        auto resized = pool.acquire(32, 16);
        ASSERT_TRUE(resized);
        EXPECT_NE(resized->id(), oldId);
        EXPECT_EQ(resized->width(), 32);
        EXPECT_EQ(pool.liveCount(), c.liveWhileHeld);
        old.reset();
        EXPECT_EQ(pool.liveCount(), c.liveAfter);
        const uint32_t resizedId = resized->id();
        resized.reset();
        EXPECT_EQ(pool.acquire(32, 16)->id(), resizedId);
    }
}

TEST(SurfacePool, AWaiterSleepsUntilASurfaceComesBackOrItIsCancelled) {
    SurfacePool pool(1);
    auto held = pool.acquire(16, 16);
    const uint32_t id = held->id();
    std::atomic<bool> cancelled{false};
    std::atomic<int> outcome{0};  // 1: a surface, 2: nothing
    std::atomic<uint32_t> gotId{0};
    auto waiter = [&] {
        auto s = pool.acquireWaiting(16, 16, [&] { return cancelled.load(); });
        if (s) gotId = s->id();
        outcome = s ? 1 : 2;
    };

    std::thread first(waiter);
    pool.wake();  // neither a return nor a cancellation: it sleeps on
    EXPECT_EQ(outcome.load(), 0);
    held.reset();
    first.join();
    EXPECT_EQ(outcome.load(), 1);
    EXPECT_EQ(gotId.load(), id);

    outcome = 0;
    held = pool.acquire(16, 16);
    std::thread second(waiter);
    cancelled = true;
    pool.wake();
    second.join();
    EXPECT_EQ(outcome.load(), 2);
}

TEST(SurfacePool, SurfacesOutliveTheirPool) {
    auto pool = std::make_unique<SurfacePool>(2);
    auto a = pool->acquire(8, 8);
    auto b = pool->acquire(8, 8);
    b.reset();  // on the free list when the pool goes
    pool.reset();
    std::memset(a->data(), 0x7f, a->byteSize());
    EXPECT_EQ(a->data()[a->byteSize() - 1], 0x7f);
    a.reset();  // freed, not returned to the pool that is gone
}

// A decoder and a reader on two threads: each surface is filled with one
// value and must read back whole, never partly overwritten by its next use.
// Under ThreadSanitizer this also shows that the return orders the reader's
// reads before the writer's next writes.
TEST(SurfacePool, ReuseIsOrderedAfterTheLastRead) {
    SurfacePool pool(2);
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::shared_ptr<Surface>> queue;
    constexpr int kFrames = 200;
    std::thread writer([&] {
        for (int i = 0; i < kFrames; ++i) {
            auto s = pool.acquireWaiting(32, 8, [] { return false; });
            ASSERT_TRUE(s);
            std::memset(s->data(), i & 0xff, s->byteSize());
            std::lock_guard lock(mutex);
            queue.push_back(std::move(s));
            ready.notify_one();
        }
    });
    int torn = 0;
    for (int i = 0; i < kFrames; ++i) {
        std::shared_ptr<Surface> s;
        {
            std::unique_lock lock(mutex);
            ready.wait(lock, [&] { return !queue.empty(); });
            s = std::move(queue.front());
            queue.pop_front();
        }
        for (size_t k = 0; k < s->byteSize(); ++k) torn += s->data()[k] != (i & 0xff);
    }
    writer.join();
    EXPECT_EQ(torn, 0);
    EXPECT_LE(pool.liveCount(), 2u);
}

}  // namespace
}  // namespace cliploop::testing
