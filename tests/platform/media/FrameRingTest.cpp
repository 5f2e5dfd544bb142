// The frame ring: a bounded queue that picks the frame for a time and wakes waiters at changes.
// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "media/FrameRing.h"

namespace cliploop::testing {
namespace {

// A full ring of frames at 0, 1/30, 2/30 ... (seconds), the first one taken if `firstTaken`.
void fill(FrameRing& ring, size_t count, bool firstTaken = false) {
    ring.setCapacity(count);
    for (size_t i = 0; i < count; ++i) {
        DecodedFrame f;
        f.time = MediaTime{static_cast<int64_t>(i), 30};
        f.serial = static_cast<int64_t>(i);
        f.delivered = firstTaken && i == 0;
        EXPECT_TRUE(ring.push(std::move(f)));
    }
}

TEST(FrameRing, TheNewestFrameAtOrBeforeATimeDropsTheOlderOnes) {
    const struct {
        const char* name;
        MediaTime time;
        int64_t serial;  // -1: none
        size_t left, droppedUnseen;
    } cases[] = {
        {"before the first", MediaTime{-1, 90000}, -1, 4, 0},
        {"invalid", MediaTime::invalid(), -1, 4, 0},
        {"between two", MediaTime{4500, 90000}, 1, 3, 0},  // frame 0 was taken
        {"exactly the third", MediaTime{2, 30}, 2, 2, 1},
        {"after the last", MediaTime{10, 1}, 3, 1, 2},
    };
    for (const auto& c : cases) {
        FrameRing ring;
        fill(ring, 4, true);
        size_t dropped = 0;
        const DecodedFrame* f = ring.newestAtOrBefore(c.time, &dropped);
        EXPECT_TRUE((f ? f->serial : -1) == c.serial && ring.size() == c.left &&
                    dropped == c.droppedUnseen)
            << c.name;
    }
}

TEST(FrameRing, PushRefusesAFrameBeyondTheCapacityUntilOneIsTaken) {
    FrameRing ring;
    fill(ring, 3);
    EXPECT_FALSE(ring.push(DecodedFrame{}));
    EXPECT_EQ(ring.takeFront().serial, 0);
    EXPECT_TRUE(ring.push(DecodedFrame{}));
    EXPECT_EQ(ring.size(), 3u);
}

TEST(FrameRing, EveryChangeAndEveryWakeEndsAWait) {
    using namespace std::chrono_literals;
    const std::pair<const char*, void (*)(FrameRing&)> cases[] = {
        {"push", [](FrameRing& r) { EXPECT_TRUE(r.push(DecodedFrame{})); }},
        {"take", [](FrameRing& r) { r.takeFront(); }},
        {"pass",
         [](FrameRing& r) {
             size_t dropped = 0;
             r.newestAtOrBefore(MediaTime{1, 1}, &dropped);
         }},
        {"clear", [](FrameRing& r) { r.clear(); }},
        {"wake", [](FrameRing& r) { r.wake(); }},
    };
    for (const auto& [name, change] : cases) {
        SCOPED_TRACE(name);
        std::mutex mutex;
        FrameRing ring;
        fill(ring, 2);
        ring.setCapacity(3);
        std::unique_lock lock(mutex);
        std::thread changer([&] {
            std::lock_guard guard(mutex);  // taken once the waiter sleeps
            change(ring);
        });
        const bool woken = ring.waitForChange(lock);
        lock.unlock();
        changer.join();
        EXPECT_TRUE(woken);
    }
    // With nothing changing, a deadline ends the wait and says so.
    std::mutex mutex;
    FrameRing ring;
    std::unique_lock lock(mutex);
    EXPECT_FALSE(ring.waitForChange(lock, std::chrono::steady_clock::now() + 1ms));
}

}  // namespace
}  // namespace cliploop::testing
