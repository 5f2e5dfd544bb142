// The pure timing logic of the engine: media times and the item clock.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "media/MediaEngine.h"
#include "media/PlaybackClock.h"

namespace cliploop::testing {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(MediaTime, FromSecondsRoundsAndSaturatesAndRefusesNonsense) {
    struct Case {
        double seconds;
        int32_t timescale;
        MediaTime expected;
    };
    // The limit as a double, which is as close as a double gets to it.
    const auto saturated =
        static_cast<int64_t>(static_cast<double>(std::numeric_limits<int64_t>::max() / 2));
    const Case cases[] = {
        {1.5, 90000, {135000, 90000}},
        {0.0166666, 1000, {17, 1000}},  // rounds to the nearest tick
        {-0.5, 10, {-5, 10}},
        {1e30, 90000, {saturated, 90000}},  // far beyond any clip: still "later"
        {std::nan(""), 90000, MediaTime::invalid()},
        {1.0, 0, MediaTime::invalid()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        const MediaTime t = MediaTime::fromSeconds(c.seconds, c.timescale);
        EXPECT_EQ(t.value, c.expected.value);
        EXPECT_EQ(t.timescale, c.expected.timescale);
    }
    EXPECT_TRUE(std::isnan(MediaTime::invalid().seconds()));
}

TEST(MediaTime, CompareIsExactAcrossTimescalesAndInvalidSortsFirst) {
    struct Case {
        MediaTime a, b;
        int expected;
    };
    const int64_t big = std::numeric_limits<int64_t>::max() / 2;
    const Case cases[] = {
        {{1, 30}, {3000, 90000}, 0},
        {{1, 30}, {3001, 90000}, -1},
        {{big, 1}, {big - 1, 1}, 1},  // would overflow a 64-bit product
        {{big, 1'000'000'000}, {big, 999'999'999}, -1},
        {MediaTime::invalid(), MediaTime::zero(), -1},
        {{-1, 1}, MediaTime::invalid(), 1},
        {MediaTime::invalid(), {0, 0}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.a.value << "/" << c.a.timescale << " vs "
                                          << c.b.value << "/" << c.b.timescale);
        EXPECT_EQ(compare(c.a, c.b), c.expected);
        EXPECT_EQ(compare(c.b, c.a), -c.expected);
    }
}

TEST(PlaybackClock, ItemTimeFollowsTheAnchorHeldWhileWaitingAndAtTheEnd) {
    struct Case {
        const char* name;
        PlaybackClock clock;
        double host, end, expected;
    };
    const Case cases[] = {
        {"runs at its rate", {true, false, 10, 2, 1.5}, 12, kInf, 5},
        {"never before its anchor", {true, false, 10, 2, 1}, 9, kInf, 2},
        {"stops at the end", {true, false, 10, 2, 1}, 20, 4, 4},
        {"waiting holds the anchor", {true, true, 10, 0.5, 1}, 99, kInf, 0.5},
        {"waiting past the end is the end", {true, true, 10, 5, 1}, 99, 3, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DOUBLE_EQ(c.clock.itemTime(c.host, c.end), c.expected);
    }
}

TEST(PlaybackClock, HostTimeAtIsKnownOnlyWhileTheClockMoves) {
    struct Case {
        const char* name;
        PlaybackClock clock;
        double item;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {"ahead at rate 2", {true, false, 10, 1, 2}, 3, 11},
        {"behind: the anchor", {true, false, 10, 1, 2}, 0.5, 10},
        {"not current", {false, false, 10, 1, 2}, 3, std::nullopt},
        {"waiting for its first frame", {true, true, 10, 1, 2}, 3, std::nullopt},
        {"standing", {true, false, 10, 1, 0}, 3, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.clock.hostTimeAt(c.item), c.expected);
    }
}

}  // namespace
}  // namespace cliploop::testing
