// Looping playback and the rate: clip starts, loop turns on a real clip,
// one turn per end, and the rate text.
// ctest-labels: concurrency
#include <QSlider>
#include <set>

#include "support/AppFixture.h"

namespace cliploop::apptest {
namespace {

class PlaybackTest : public InterfaceTest {
  protected:
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(this);
        InterfaceTest::TearDown();
    }
    // Chooses `clip` and waits until it has replaced whatever played.
    std::vector<std::shared_ptr<PlayerItem>> play(const FileUrl& clip) {
        const auto before = controller_->player->items();
        controller_->selectVideoWithLoop(clip);
        std::vector<std::shared_ptr<PlayerItem>> items;
        EXPECT_TRUE(eventually([&] {
            items = controller_->player->items();
            return items.size() == 2 && items != before;
        }));
        return items;
    }
    bool attachedToCurrent(const std::shared_ptr<PlayerItemVideoOutput>& output) {
        const auto current = controller_->player->currentItem();
        return current && current->outputs() == std::vector{output};
    }
};

TEST_F(PlaybackTest, AClipStartQueuesTwoFreshItemsOfOneAssetAtTheSlidersRate) {
    auto* slider = window_->findChild<QSlider*>("rateSlider");
    ASSERT_NE(slider, nullptr);
    EXPECT_EQ(controller_->rateField->text(), "1.00x");
    for (auto [value, text] :
         {std::pair{50, "0.50x"}, {-5, "0.00x"}, {999, "4.00x"}, {137, "1.37x"}, {200, "2.00x"}}) {
        slider->setValue(value);
        EXPECT_EQ(controller_->rateField->text(), text);
        EXPECT_FLOAT_EQ(controller_->player->rate(), slider->value() / 100.0f);  // empty player
    }
    const FileUrl clip = makeClip(64, 48, 2.0);
    const auto firstOutput = controller_->videoOutput.load();
    const auto items = play(clip);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_NE(items[0], items[1]);
    EXPECT_EQ(items[1]->asset()->url(), clip);
    EXPECT_NE(controller_->videoOutput.load(), firstOutput);
    EXPECT_TRUE(attachedToCurrent(controller_->videoOutput.load()));
    EXPECT_FLOAT_EQ(controller_->player->rate(), 2.0f);  // as the slider shows

    const auto again = play(clip);  // again: two new items
    ASSERT_EQ(again.size(), 2u);
    for (const auto& item : again) EXPECT_TRUE(item != items[0] && item != items[1]);

    // An end that this clip start overtook turns nothing.
    const auto output = controller_->videoOutput.load();
    controller_->playerItemDidReachEnd(
        {kPlayerItemDidPlayToEndTimeNotification, nullptr, items[0]});
    EXPECT_EQ(controller_->player->items(), again);
    EXPECT_EQ(controller_->videoOutput.load(), output);
}

// The queue as the controller's loop turn left it, at each end.
struct Turn {
    std::shared_ptr<PlayerItem> ended;
    std::vector<std::shared_ptr<PlayerItem>> queue;
    std::vector<size_t> outputs;  // per queued item
    std::shared_ptr<PlayerItemVideoOutput> output;
};

TEST_F(PlaybackTest, ItemsTakeTurnsEachWithAFreshOutputAndOneTurnPerEndAfterManyStarts) {
    const FileUrl clip = makeClip(64, 48, 0.4);
    for (int i = 0; i < 5; ++i) play(clip);
    const auto start = controller_->player->items();
    ASSERT_EQ(start.size(), 2u);
    std::mutex mutex;
    std::vector<Turn> turns;
    // Registered after the controller's handler, so it runs right after it.
    ViewController* controller = controller_.get();
    NotificationCenter::defaultCenter().addObserver(
        this, kPlayerItemDidPlayToEndTimeNotification, nullptr,
        [&, controller](const Notification& n) {
            Turn turn{std::any_cast<std::shared_ptr<PlayerItem>>(n.object),
                      controller->player->items(),
                      {},
                      controller->videoOutput.load()};
            for (const auto& item : turn.queue) turn.outputs.push_back(item->outputs().size());
            std::lock_guard lock(mutex);
            turns.push_back(std::move(turn));
        });
    ASSERT_TRUE(eventually(
        [&] {
            std::lock_guard lock(mutex);
            return turns.size() >= 4;
        },
        std::chrono::seconds(30)));

    std::lock_guard lock(mutex);
    std::set<PlayerItemVideoOutput*> outputs;
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        // The ended item waits behind the other, which plays with the one output.
        EXPECT_EQ(turns[i].ended, start[i % 2]);
        EXPECT_EQ(turns[i].queue, (std::vector{start[(i + 1) % 2], start[i % 2]}));
        EXPECT_EQ(turns[i].outputs, (std::vector<size_t>{1, 0}));
        EXPECT_TRUE(outputs.insert(turns[i].output.get()).second) << "output reused";
    }
}

}  // namespace
}  // namespace cliploop::apptest
