// Looping a clip the application's way: two items of one asset, a fresh
// output attached in the end-of-item observer at each turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "support/ClipGenerator.h"
#include "support/LoopDriver.h"

namespace cliploop::testing {
namespace {

TEST(SeamlessLoop, EveryTurnDeliversItsFramesOnceInOrderAtEveryRate) {
    // Half speed first: a frame lasts 66 ms, far longer than the reader's
    // period, so no frame the engine had ready in time is missed.
    LoopDriver loop(clip("loop.mp4", {.frames = 8}), 0.5f);
    ASSERT_TRUE(loop.waitUntil([&] { return loop.turns() >= 4; }));
    loop.player().setRate(8.0f);
    ASSERT_TRUE(loop.waitUntil([&] { return loop.turns() >= 10; }));
    loop.player().setRate(0.0f);
    const int frozenAt = loop.turns();
    loop.player().setRate(3.0f);
    ASSERT_TRUE(loop.waitUntil([&] { return loop.turns() >= frozenAt + 3; }));
    loop.stop();
    EXPECT_TRUE(loop.objectWasCurrentItem());

    std::map<int, std::vector<int>> byTurn;
    for (const auto& frame : loop.taken()) {
        byTurn[frame.turn].push_back(frame.number);
        EXPECT_EQ(frame.time, (MediaTime{frame.number, 30})) << "turn " << frame.turn;
    }
    const std::vector<int> everyFrame = {0, 1, 2, 3, 4, 5, 6, 7};
    for (const auto& [turn, numbers] : byTurn) {
        // At half speed, every frame of each turn the end handler started (the
        // clip's cold start, turn 0, may skip to stay on the clock); at any
        // rate, in order and once.
        EXPECT_TRUE(turn < 1 || turn >= 4 || numbers == everyFrame)
            << "turn " << turn << ": " << ::testing::PrintToString(numbers);
        for (size_t i = 1; i < numbers.size(); ++i)
            EXPECT_LT(numbers[i - 1], numbers[i]) << "turn " << turn;
    }
    // The two items take turns, each rewound behind the other.
    EXPECT_EQ(loop.player().items().size(), 2u);
}

}  // namespace
}  // namespace cliploop::testing
