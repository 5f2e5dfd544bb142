// Looping playback and the rate: clip starts, loop turns on a real clip,
// one turn per end, the rate text, and clip starts racing loop turns.
// ctest-labels: concurrency
#include <QSlider>

#include "support/AppFixture.h"

namespace cliploop::apptest {
namespace {

class PlaybackTest : public InterfaceTest {
  protected:
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(this);
        InterfaceTest::TearDown();
    }
    QSlider* slider() { return window_->findChild<QSlider*>("rateSlider"); }
    QString rateText() { return controller_->rateField->text(); }

    bool attachedToCurrent(const std::shared_ptr<PlayerItemVideoOutput>& output) {
        const auto current = controller_->player->currentItem();
        if (!current) return false;
        for (const auto& o : current->outputs())
            if (o == output) return true;
        return false;
    }
};

TEST_F(PlaybackTest, AClipStartQueuesTwoItemsOfOneAssetAndShowsThePlayerInBothViews) {
    const FileUrl clip = makeClip(64, 48, 2.0);
    const auto firstOutput = controller_->videoOutput.load();
    controller_->selectVideoWithLoop(clip);

    const auto items = controller_->player->items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_NE(items[0], items[1]);
    EXPECT_EQ(items[0]->asset(), items[1]->asset());
    EXPECT_EQ(items[0]->asset()->url(), clip);
    EXPECT_EQ(controller_->player->currentItem(), items[0]);
    EXPECT_NE(controller_->videoOutput.load(), firstOutput);
    EXPECT_TRUE(attachedToCurrent(controller_->videoOutput.load()));
    EXPECT_TRUE(items[1]->outputs().empty());
    EXPECT_EQ(controller_->playerView->player(), controller_->player);
    EXPECT_EQ(controller_->playerView2->player(), controller_->player);
    EXPECT_FLOAT_EQ(controller_->player->rate(), 1.0f);

    // The same clip again: two new items, from the start.
    controller_->selectVideoWithLoop(clip);
    const auto again = controller_->player->items();
    ASSERT_EQ(again.size(), 2u);
    EXPECT_NE(again[0], items[0]);
    EXPECT_NE(again[1], items[1]);
    EXPECT_NE(again[0], items[1]);
}

TEST_F(PlaybackTest, TheRateTextFollowsTheSlider) {
    EXPECT_EQ(rateText(), "1.00x");
    slider()->setValue(50);  // before any clip: the empty player takes it
    EXPECT_EQ(rateText(), "0.50x");
    EXPECT_FLOAT_EQ(controller_->player->rate(), 0.5f);
    slider()->setValue(200);
    EXPECT_EQ(rateText(), "2.00x");
    slider()->setValue(0);
    EXPECT_EQ(rateText(), "0.00x");
    slider()->setValue(400);
    EXPECT_EQ(rateText(), "4.00x");
    slider()->setValue(137);
    EXPECT_EQ(rateText(), "1.37x");
}

TEST_F(PlaybackTest, AClipStartPlaysAtTheRateTheSliderShows) {
    slider()->setValue(200);
    controller_->selectVideoWithLoop(makeClip(64, 48, 2.0));
    EXPECT_FLOAT_EQ(controller_->player->rate(), 2.0f);
    EXPECT_EQ(rateText(), "2.00x");
    EXPECT_EQ(slider()->value(), 200);
}

// Ends of items as seen after the controller's loop turn has run.
struct Turns {
    std::mutex mutex;
    std::vector<std::shared_ptr<PlayerItem>> ended, currentAfter, waitingAfter;
    std::vector<std::shared_ptr<PlayerItemVideoOutput>> outputAfter;
    std::vector<size_t> queueSize, currentOutputs, waitingOutputs;
    size_t count() {
        std::lock_guard lock(mutex);
        return ended.size();
    }
};

void watchTurns(PlaybackTest* owner, ViewController* controller, Turns& turns) {
    // Registered after the controller's handler, so it runs right after it.
    NotificationCenter::defaultCenter().addObserver(
        owner, kPlayerItemDidPlayToEndTimeNotification, nullptr,
        [controller, &turns](const Notification& n) {
            std::lock_guard lock(turns.mutex);
            turns.ended.push_back(std::any_cast<std::shared_ptr<PlayerItem>>(n.object));
            const auto items = controller->player->items();
            turns.queueSize.push_back(items.size());
            turns.currentAfter.push_back(items.empty() ? nullptr : items.front());
            turns.waitingAfter.push_back(items.size() > 1 ? items[1] : nullptr);
            turns.outputAfter.push_back(controller->videoOutput.load());
            turns.currentOutputs.push_back(items.empty() ? 0 : items.front()->outputs().size());
            turns.waitingOutputs.push_back(items.size() > 1 ? items[1]->outputs().size() : 0);
        });
}

TEST_F(PlaybackTest, ItemsTakeTurnsEachWithAFreshOutputAndOneTurnPerEndAfterManyStarts) {
    const FileUrl clip = makeClip(64, 48, 0.4);
    for (int i = 0; i < 5; ++i) controller_->selectVideoWithLoop(clip);
    const auto start = controller_->player->items();
    ASSERT_EQ(start.size(), 2u);
    Turns turns;
    watchTurns(this, controller_.get(), turns);
    ASSERT_TRUE(eventually([&] { return turns.count() >= 4; }, std::chrono::seconds(30)));

    std::lock_guard lock(turns.mutex);
    std::set<PlayerItemVideoOutput*> outputs;
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        // The item that ended waits behind the other, which now plays.
        EXPECT_EQ(turns.ended[i], start[i % 2]);
        EXPECT_EQ(turns.queueSize[i], 2u);
        EXPECT_EQ(turns.currentAfter[i], start[(i + 1) % 2]);
        EXPECT_EQ(turns.waitingAfter[i], start[i % 2]);
        EXPECT_TRUE(outputs.insert(turns.outputAfter[i].get()).second) << "output reused";
        // Only the playing item carries an output: replaced ones do not pile up.
        EXPECT_EQ(turns.currentOutputs[i], 1u);
        EXPECT_EQ(turns.waitingOutputs[i], 0u);
    }
}

TEST_F(PlaybackTest, LoopTurnsKeepFramesFlowingToThePump) {
    stopPump();
    controller_->selectVideoWithLoop(makeClip(96, 64, 0.4));
    Turns turns;
    watchTurns(this, controller_.get(), turns);
    // Frames keep coming after two turns, from the fresh outputs.
    ASSERT_TRUE(eventually(
        [&] {
            controller_->videoCapturing();
            return turns.count() >= 2;
        },
        std::chrono::seconds(30)));
    const auto image = controller_->context->textureImage(controller_->texture);
    const uint32_t before = image && image->surface ? image->surface->id() : 0;
    EXPECT_TRUE(eventually([&] {
        controller_->videoCapturing();
        const auto now = controller_->context->textureImage(controller_->texture);
        return now && now->surface && now->surface->id() != before;
    }));
    EXPECT_EQ(controller_->size.width, 96);
}

TEST_F(PlaybackTest, AnEndThatAClipStartOvertookTurnsNothing) {
    const FileUrl clip = makeClip(64, 48, 2.0);
    controller_->selectVideoWithLoop(clip);
    const auto old = controller_->player->currentItem();
    controller_->selectVideoWithLoop(clip);
    const auto items = controller_->player->items();
    const auto output = controller_->videoOutput.load();
    Notification late;
    late.name = kPlayerItemDidPlayToEndTimeNotification;
    late.sender = old.get();
    late.object = old;
    controller_->playerItemDidReachEnd(late);
    EXPECT_EQ(controller_->player->items(), items);
    EXPECT_EQ(controller_->videoOutput.load(), output);
}

TEST_F(PlaybackTest, ClipStartsAndLoopTurnsNeverOverlap) {
    const FileUrl first = makeClip(64, 48, 2.0);
    const FileUrl second = makeClip(96, 64, 2.0);
    std::atomic<bool> done{false};
    std::thread turner([&] {
        // Loop turns as the engine's thread delivers them, one after another.
        while (!done.load()) {
            Notification end;
            end.name = kPlayerItemDidPlayToEndTimeNotification;
            controller_->playerItemDidReachEnd(end);
        }
    });
    for (int i = 0; i < 40; ++i) controller_->selectVideoWithLoop(i % 2 ? second : first);
    done = true;
    turner.join();

    const auto items = controller_->player->items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->asset(), items[1]->asset());
    EXPECT_EQ(items[0]->asset()->url(), second);
    EXPECT_TRUE(attachedToCurrent(controller_->videoOutput.load()));
}

}  // namespace
}  // namespace cliploop::apptest
