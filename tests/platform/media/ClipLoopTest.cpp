// The clip loop: ends a clip start overtook, outputs detached, starts racing turns, and choices
// handed over once ready, the newest only (turns themselves: the seamless loop test).
// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "foundation/Dispatch.h"
#include "media/ClipLoop.h"
#include "support/MediaTestSupport.h"

namespace cliploop::testing {
namespace {

struct ClipLoopTest : ::testing::Test {
    void SetUp() override { dispatch::markMainThread(); }
    void TearDown() override { player->pause(); }
    std::vector<size_t> outputCounts() const {
        std::vector<size_t> counts;
        for (const auto& item : player->items()) counts.push_back(item->outputs().size());
        return counts;
    }
    PreparedClip prepare(const std::string& path) {
        return PreparedClip::prepare(FileUrl::fromPath(path));
    }

    const std::shared_ptr<QueuePlayer> player = QueuePlayer::create();
    ClipLoop::OutputSlot slot;
    ClipLoop loop{player, slot};
};

TEST_F(ClipLoopTest, AClipStartDetachesTheOldOutputsAndAnEndItOvertookTurnsNothing) {
    const std::string path = clip("overtaken.mp4", {.frames = 90});
    const PreparedClip old = prepare(path);
    loop.start(old, 1.0f);
    const auto oldOutput = slot.load();
    ASSERT_EQ(old.first->outputs(), std::vector{oldOutput});

    const PreparedClip fresh = prepare(path);
    loop.start(fresh, 1.0f);
    EXPECT_TRUE(old.first->outputs().empty());
    const auto output = slot.load();
    EXPECT_NE(output, oldOutput);
    loop.turn(old.first);  // posted before the start, delivered after it
    EXPECT_EQ(player->items(), (std::vector{fresh.first, fresh.second}));
    EXPECT_EQ(slot.load(), output);
    EXPECT_EQ(loop.turns(), 0);
    loop.turn(fresh.first);  // the current item's end does turn
    EXPECT_EQ(player->items(), (std::vector{fresh.second, fresh.first}));
    EXPECT_EQ(outputCounts(), (std::vector<size_t>{1, 0}));
    EXPECT_EQ(loop.turns(), 1);
}

TEST_F(ClipLoopTest, ClipStartsAndTurnsNeverOverlap) {
    const std::string first = clip("race-a.mp4", {.frames = 60});
    const std::string second = clip("race-b.mp4", {.width = 96, .frames = 60});
    std::atomic<bool> done{false};
    std::thread turner([&] {  // turns as the playback thread delivers them
        while (!done.load()) loop.turn(nullptr);
    });
    PreparedClip last;
    for (int i = 0; i < 40; ++i) loop.start(last = prepare(i % 2 ? second : first), 1.0f);
    done = true;
    turner.join();
    const auto items = player->items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->asset(), last.asset);
    EXPECT_EQ(items[1]->asset(), last.asset);
    EXPECT_EQ(items[0]->outputs(), std::vector{slot.load()});
    EXPECT_EQ(outputCounts(), (std::vector<size_t>{1, 0}));
}

TEST_F(ClipLoopTest, AChoiceIsHandedOverOnceReadyOrFailedAndOnlyTheNewestOne) {
    const std::string notes = testPath("notes.txt"), playable = clip("chosen.mp4", {.frames = 30});
    std::ofstream(notes) << "Not a clip.\n";
    // Two choices in a row, before the main queue runs: the newest is handed over, playable or not.
    for (const auto& choices : {std::vector{notes, playable}, std::vector{playable, notes}}) {
        const std::string& newest = choices.back();
        const bool failed = newest == notes;
        SCOPED_TRACE(newest);
        std::vector<PreparedClip> handed;
        for (const auto& path : choices)
            loop.choose(FileUrl::fromPath(path),
                        [&](const PreparedClip& ready) { handed.push_back(ready); });
        ASSERT_TRUE(
            dispatch::runMainQueueUntil([&] { return !handed.empty(); }, std::chrono::seconds(30)));
        dispatch::runMainQueueUntil([] { return false; }, std::chrono::milliseconds(200));
        ASSERT_EQ(handed.size(), 1u);
        EXPECT_EQ(handed[0].asset->url().path(), newest);
        EXPECT_EQ(handed[0].failed(), failed);
        EXPECT_EQ(handed[0].failureReason(), failed ? "not a video file" : "");
        EXPECT_TRUE(failed || handed[0].first->isReady());
        EXPECT_TRUE(player->items().empty());  // choosing starts nothing by itself
    }
}

}  // namespace
}  // namespace cliploop::testing
