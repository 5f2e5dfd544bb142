// ctest-labels: concurrency
// Media times, and the frame ring that picks the frame for a time and wakes waiters.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>
#include <tuple>

#include "media/FrameRing.h"
#include "media/MediaEngine.h"

namespace cliploop::testing {
namespace {

TEST(MediaTime, FromSecondsRoundsAndSaturatesAndCompareIsExactAcrossTimescales) {
    const int64_t big = std::numeric_limits<int64_t>::max() / 2,
                  saturated = static_cast<int64_t>(static_cast<double>(big));
    const std::tuple<double, int32_t, MediaTime> conversions[] = {
        {1.5, 90000, {135000, 90000}},
        {0.0166666, 1000, {17, 1000}},  // rounds to the nearest tick
        {-0.5, 10, {-5, 10}},
        {1e30, 90000, {saturated, 90000}},  // far beyond any clip: still "later"
        {std::nan(""), 90000, MediaTime::invalid()},
        {1.0, 0, MediaTime::invalid()},
    };
    for (const auto& [seconds, timescale, expected] : conversions) {
        const MediaTime t = MediaTime::fromSeconds(seconds, timescale);
        EXPECT_TRUE(t.value == expected.value && t.timescale == expected.timescale) << seconds;
    }
    const std::tuple<MediaTime, MediaTime, int> comparisons[] = {
        {{1, 30}, {3000, 90000}, 0},
        {{1, 30}, {3001, 90000}, -1},
        {{big, 1}, {big - 1, 1}, 1},  // would overflow a 64-bit product
        {{big, 1'000'000'000}, {big, 999'999'999}, -1},
        {MediaTime::invalid(), MediaTime::zero(), -1},
        {{-1, 1}, MediaTime::invalid(), 1},
        {MediaTime::invalid(), {0, 0}, 0},
    };
    for (const auto& [a, b, expected] : comparisons)
        EXPECT_TRUE(compare(a, b) == expected && compare(b, a) == -expected)
            << a.value << " " << b.value;
}

void fill(FrameRing& ring, size_t count, bool firstTaken = false) {
    ring.setCapacity(count);
    for (int64_t i = 0; i < int64_t(count); ++i)
        EXPECT_TRUE(ring.push(
            {.buffer = {}, .time = {i, 30}, .serial = i, .delivered = firstTaken && i == 0}));
}

TEST(FrameRing, HoldsAtMostItsCapacityAndTheNewestFrameAtOrBeforeATimeDropsTheOlderOnes) {
    // The time asked, the serial found (-1: none), frames left, unseen frames dropped.
    const std::tuple<const char*, MediaTime, int64_t, size_t, size_t> cases[] = {
        {"before the first", MediaTime{-1, 90000}, -1, 4, 0},
        {"invalid", MediaTime::invalid(), -1, 4, 0},
        {"between two", MediaTime{4500, 90000}, 1, 3, 0},  // frame 0 was taken
        {"exactly the third", MediaTime{2, 30}, 2, 2, 1},
        {"after the last", MediaTime{10, 1}, 3, 1, 2},
    };
    for (const auto& [name, time, serial, left, droppedUnseen] : cases) {
        FrameRing ring;
        fill(ring, 4, true);
        EXPECT_FALSE(ring.push(DecodedFrame{}));  // full
        size_t dropped = 0;
        const DecodedFrame* f = ring.newestAtOrBefore(time, &dropped);
        EXPECT_TRUE((f ? f->serial : -1) == serial && ring.size() == left &&
                    dropped == droppedUnseen)
            << name;
    }
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
        std::mutex mutex;
        FrameRing ring;
        fill(ring, 2);
        ring.setCapacity(3);
        std::unique_lock lock(mutex);
        EXPECT_FALSE(
            ring.waitForChange(lock, std::chrono::steady_clock::now() + 1ms));  // no change
        std::thread changer([&] {
            std::lock_guard guard(mutex);  // taken once the waiter sleeps
            change(ring);
        });
        EXPECT_TRUE(ring.waitForChange(lock)) << name;
        lock.unlock();
        changer.join();
    }
}

}  // namespace
}  // namespace cliploop::testing
