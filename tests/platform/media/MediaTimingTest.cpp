// The pure timing logic of the engine: media times and the item clock.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <tuple>

#include "media/MediaEngine.h"
#include "media/PlaybackClock.h"

namespace cliploop::testing {
namespace {

TEST(MediaTime, FromSecondsRoundsAndSaturatesAndRefusesNonsense) {
    // The limit as a double, which is as close as a double gets to it.
    const auto saturated =
        static_cast<int64_t>(static_cast<double>(std::numeric_limits<int64_t>::max() / 2));
    const std::tuple<double, int32_t, MediaTime> cases[] = {
        {1.5, 90000, {135000, 90000}},
        {0.0166666, 1000, {17, 1000}},  // rounds to the nearest tick
        {-0.5, 10, {-5, 10}},
        {1e30, 90000, {saturated, 90000}},  // far beyond any clip: still "later"
        {std::nan(""), 90000, MediaTime::invalid()},
        {1.0, 0, MediaTime::invalid()},
    };
    for (const auto& [seconds, timescale, expected] : cases) {
        const MediaTime t = MediaTime::fromSeconds(seconds, timescale);
        EXPECT_TRUE(t.value == expected.value && t.timescale == expected.timescale)
            << seconds << " at " << timescale << ": " << t.value << "/" << t.timescale;
    }
    EXPECT_TRUE(std::isnan(MediaTime::invalid().seconds()));
}

TEST(MediaTime, CompareIsExactAcrossTimescalesAndInvalidSortsFirst) {
    const int64_t big = std::numeric_limits<int64_t>::max() / 2;
    const std::tuple<MediaTime, MediaTime, int> cases[] = {
        {{1, 30}, {3000, 90000}, 0},
        {{1, 30}, {3001, 90000}, -1},
        {{big, 1}, {big - 1, 1}, 1},  // would overflow a 64-bit product
        {{big, 1'000'000'000}, {big, 999'999'999}, -1},
        {MediaTime::invalid(), MediaTime::zero(), -1},
        {{-1, 1}, MediaTime::invalid(), 1},
        {MediaTime::invalid(), {0, 0}, 0},
    };
    for (const auto& [a, b, expected] : cases) {
        SCOPED_TRACE(::testing::Message()
                     << a.value << "/" << a.timescale << " vs " << b.value << "/" << b.timescale);
        EXPECT_EQ(compare(a, b), expected);
        EXPECT_EQ(compare(b, a), -expected);
    }
}

TEST(PlaybackClock, ItemTimeFollowsTheAnchorAndTheHostTimeOfAnItemTimeIsKnownOnlyWhileItMoves) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const struct {
        const char* name;
        PlaybackClock clock;
        double host, end, itemTime;  // itemTime(host, end)
        double item;                 // hostTimeAt(item)
        std::optional<double> hostTime;
    } cases[] = {
        {"runs at its rate", {true, false, 10, 2, 1.5}, 12, kInf, 5, 5, 12},
        {"never before its anchor", {true, false, 10, 2, 1}, 9, kInf, 2, 1, 10},
        {"stops at the end", {true, false, 10, 2, 1}, 20, 4, 4, 3, 11},
        {"waiting holds the anchor", {true, true, 10, 0.5, 1}, 99, kInf, 0.5, 3, std::nullopt},
        {"waiting past the end is the end", {true, true, 10, 5, 1}, 99, 3, 3, 6, std::nullopt},
        {"not current", {false, false, 10, 1, 2}, 10, kInf, 1, 3, std::nullopt},
        {"standing", {true, false, 10, 1, 0}, 50, kInf, 1, 3, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DOUBLE_EQ(c.clock.itemTime(c.host, c.end), c.itemTime);
        EXPECT_EQ(c.clock.hostTimeAt(c.item), c.hostTime);
    }
}

}  // namespace
}  // namespace cliploop::testing
