// The clip loop: items taking turns with fresh outputs, ends a clip start overtook, outputs
// detached, starts racing turns, and choices handed over once ready, the newest only.
// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "foundation/Dispatch.h"
#include "media/ClipLoop.h"
#include "support/MediaTestSupport.h"

namespace cliploop::testing {
namespace {

struct ClipLoopTest : ::testing::Test {
    void SetUp() override { dispatch::markMainThread(); }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(this);
        player->pause();
    }
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

// The queue as each turn left it.
struct Turn {
    std::shared_ptr<PlayerItem> ended;
    std::vector<std::shared_ptr<PlayerItem>> queue;
    std::vector<size_t> outputs;  // per queued item
    std::shared_ptr<PlayerItemVideoOutput> output;
    bool outputOnCurrent = false;
};

TEST_F(ClipLoopTest, ItemsTakeTurnsEachWithAFreshOutputTheEndedOneRewoundAndDetached) {
    loop.observeEnds();
    std::mutex mutex;
    std::vector<Turn> turns;
    NotificationCenter::defaultCenter().addObserver(  // after the loop's turn
        this, kPlayerItemDidPlayToEndTimeNotification, nullptr, [&](const Notification& n) {
            Turn turn{ClipLoop::endedItem(n), player->items(), outputCounts(), slot.load()};
            turn.outputOnCurrent =
                !turn.queue.empty() && turn.queue[0]->outputs() == std::vector{turn.output};
            std::lock_guard lock(mutex);
            turns.push_back(std::move(turn));
        });
    const PreparedClip looped = prepare(clip("turns.mp4", {.frames = 6}));
    loop.start(looped, 2.0f);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return turns.size() >= 4;
    }));
    std::lock_guard lock(mutex);
    std::set<PlayerItemVideoOutput*> outputs;
    const std::vector items{looped.first, looped.second};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(turns[i].ended, items[i % 2]);
        EXPECT_EQ(turns[i].queue, (std::vector{items[(i + 1) % 2], items[i % 2]}));
        EXPECT_EQ(turns[i].outputs, (std::vector<size_t>{1, 0}));
        EXPECT_TRUE(turns[i].outputOnCurrent);
        EXPECT_TRUE(outputs.insert(turns[i].output.get()).second) << "output reused";
    }
    EXPECT_GE(loop.turns(), 4);
    EXPECT_EQ(player->rate(), 2.0f);  // turns keep the rate
}

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
    std::ofstream(testPath("notes.txt")) << "Not a clip.\n";
    const std::string playable = clip("chosen.mp4", {.frames = 30});
    struct Case {
        std::vector<std::string> choices;  // in a row, before the main queue runs
        std::string handed;                // the one handed over
        bool failed;
    };
    for (const Case& c : {Case{{playable}, playable, false},
                          Case{{testPath("notes.txt")}, testPath("notes.txt"), true},
                          Case{{testPath("notes.txt"), playable}, playable, false},
                          Case{{playable, testPath("notes.txt")}, testPath("notes.txt"), true}}) {
        SCOPED_TRACE(c.handed + " after " + std::to_string(c.choices.size()));
        std::vector<PreparedClip> handed;
        for (const auto& path : c.choices)
            loop.choose(FileUrl::fromPath(path),
                        [&](const PreparedClip& ready) { handed.push_back(ready); });
        ASSERT_TRUE(
            dispatch::runMainQueueUntil([&] { return !handed.empty(); }, std::chrono::seconds(30)));
        dispatch::runMainQueueUntil([] { return false; }, std::chrono::milliseconds(200));
        ASSERT_EQ(handed.size(), 1u);
        EXPECT_EQ(handed[0].asset->url().path(), c.handed);
        EXPECT_EQ(handed[0].failed(), c.failed);
        EXPECT_EQ(handed[0].failureReason(), c.failed ? "not a video file" : "");
        EXPECT_TRUE(c.failed || handed[0].first->isReady());
        EXPECT_TRUE(player->items().empty());  // choosing starts nothing by itself
    }
}

}  // namespace
}  // namespace cliploop::testing
