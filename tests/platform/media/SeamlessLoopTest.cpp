// Looping a clip the application's way: two items of one asset, a fresh
// output attached in the end-of-item observer at each turn.
// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "support/ClipGenerator.h"
#include "support/LoopDriver.h"

namespace cliploop::testing {
namespace {

constexpr int kFrames = 8;

class SeamlessLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        ClipSpec spec;
        spec.frames = kFrames;
        ASSERT_EQ(writeClip(dir.path("loop.mp4"), spec), "");
    }
    TempDir dir;
};

TEST_F(SeamlessLoop, EveryTurnDeliversEveryFrameOnceInOrder) {
    // Half speed: a frame lasts 66 ms, far longer than the reader's period,
    // so a frame the engine had ready in time is never missed by the reader.
    LoopDriver loop(dir.path("loop.mp4"), 0.5f);
    ASSERT_TRUE(loop.waitUntil([&] { return loop.turns() >= 4; }));
    loop.stop();
    EXPECT_TRUE(loop.objectWasCurrentItem());
    EXPECT_NE(loop.observerThread(), std::this_thread::get_id());

    std::map<int, std::vector<const TakenFrame*>> byTurn;
    const auto taken = loop.taken();
    for (const auto& frame : taken) byTurn[frame.turn].push_back(&frame);
    // Turns 0 to 3 are complete (turn 4 was cut short by stop()).
    for (int turn = 0; turn < 4; ++turn) {
        const auto& frames = byTurn[turn];
        ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames)) << "turn " << turn;
        for (int i = 0; i < kFrames; ++i) {
            EXPECT_EQ(frames[i]->number, i) << "turn " << turn;
            EXPECT_EQ(frames[i]->time, (MediaTime{i, 30})) << "turn " << turn;
        }
    }
    // The two items take turns, each rewound behind the other.
    EXPECT_EQ(loop.player().items().size(), 2u);
}

TEST_F(SeamlessLoop, RateChangesAndFastRatesKeepTheLoopTurning) {
    LoopDriver loop(dir.path("loop.mp4"), 8.0f);
    ASSERT_TRUE(loop.waitUntil([&] { return loop.turns() >= 6; }));
    loop.player().setRate(0.0f);
    const int frozenAt = loop.turns();
    loop.player().setRate(3.0f);
    ASSERT_TRUE(loop.waitUntil([&] { return loop.turns() >= frozenAt + 3; }));
    loop.stop();
    // Whatever the clock skipped, each turn's frames come in order, once.
    std::map<int, std::vector<int>> byTurn;
    for (const auto& frame : loop.taken()) byTurn[frame.turn].push_back(frame.number);
    for (const auto& [turn, numbers] : byTurn) {
        ASSERT_FALSE(numbers.empty());
        EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end())) << "turn " << turn;
        EXPECT_EQ(std::adjacent_find(numbers.begin(), numbers.end()), numbers.end())
            << "turn " << turn;
    }
    EXPECT_EQ(loop.player().items().size(), 2u);
}

}  // namespace
}  // namespace cliploop::testing
