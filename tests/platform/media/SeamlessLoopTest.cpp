// Looping a clip the application's way: two items of one asset, a fresh
// output attached in the end-of-item observer at each turn.
// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "support/ClipGenerator.h"
#include "support/LoopDriver.h"

namespace cliploop::testing {
namespace {

TEST(SeamlessLoop, EveryTurnDeliversItsFramesOnceInOrderAtEveryRate) {
    constexpr int kFrames = 8;
    // Half speed first: a frame lasts 66 ms, far longer than the reader's
    // period, so no frame the engine had ready in time is missed.
    LoopDriver loop(clip("loop.mp4", {.frames = kFrames}), 0.5f);
    ASSERT_TRUE(loop.waitUntil([&] { return loop.turns() >= 4; }));
    loop.player().setRate(8.0f);
    ASSERT_TRUE(loop.waitUntil([&] { return loop.turns() >= 10; }));
    loop.player().setRate(0.0f);
    const int frozenAt = loop.turns();
    loop.player().setRate(3.0f);
    ASSERT_TRUE(loop.waitUntil([&] { return loop.turns() >= frozenAt + 3; }));
    loop.stop();

    std::map<int, std::vector<TakenFrame>> byTurn;
    for (const auto& frame : loop.taken()) byTurn[frame.turn].push_back(frame);
    for (const auto& [turn, frames] : byTurn) {
        if (turn < 4) {  // at half speed: every frame at its own time
            ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames)) << "turn " << turn;
            for (int i = 0; i < kFrames; ++i) {
                EXPECT_EQ(frames[i].number, i) << "turn " << turn;
                EXPECT_EQ(frames[i].time, (MediaTime{i, 30})) << "turn " << turn;
            }
        }
        // Whatever the clock skipped, in order and once.
        for (size_t i = 1; i < frames.size(); ++i)
            EXPECT_LT(frames[i - 1].number, frames[i].number) << "turn " << turn;
    }
    // The two items take turns, each rewound behind the other.
    EXPECT_EQ(loop.player().items().size(), 2u);
}

}  // namespace
}  // namespace cliploop::testing
