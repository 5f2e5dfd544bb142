// The clip loop: starts racing turns, outputs detached, ends a start overtook, and choices handed
// over once ready, the newest only (turns themselves: the seamless loop test).
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
    const std::shared_ptr<QueuePlayer> player = QueuePlayer::create();
    ClipLoop::OutputSlot slot;
    ClipLoop loop{player, slot};
};

TEST_F(ClipLoopTest, ClipStartsNeverOverlapTurnsDetachTheOldOutputsAndOvertakeTheOldEnds) {
    const std::string first = clip("race-a.mp4", {.frames = 60});
    const std::string second = clip("race-b.mp4", {.width = 96, .frames = 60});
    std::atomic<bool> done{false};
    std::thread turner([&] {  // turns as the playback thread delivers them
        while (!done.load()) loop.turn(nullptr);
    });
    PreparedClip previous, last;
    for (int i = 0; i < 40; ++i) {
        previous = last;
        loop.start(last = PreparedClip::prepare(FileUrl::fromPath(i % 2 ? second : first)), 1.0f);
    }
    done = true;
    turner.join();
    EXPECT_TRUE(previous.first->outputs().empty() && previous.second->outputs().empty());
    const auto output = slot.load();
    const int turns = loop.turns();
    loop.turn(previous.first);  // posted before the last start, delivered after it
    EXPECT_EQ(loop.turns(), turns);
    EXPECT_EQ(slot.load(), output);
    const auto items = player->items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->asset(), last.asset);
    EXPECT_EQ(items[1]->asset(), last.asset);
    EXPECT_EQ(items[0]->outputs(), std::vector{output});
    EXPECT_TRUE(items[1]->outputs().empty());
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
