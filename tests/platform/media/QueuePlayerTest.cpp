// The queue player on real clips: the queue, outputs, an item's end, and the app's loop and pump.
// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>
#include <thread>

#include "foundation/HostClock.h"
#include "foundation/NotificationCenter.h"
#include "media/ClipLoop.h"
#include "pump/FramePump.h"
#include "support/MediaTestSupport.h"

namespace cliploop::testing {
namespace {

std::shared_ptr<PlayerItem> itemOf(int frames) {
    return itemFor(clip(std::to_string(frames) + "-frames.mp4", {.frames = frames}));
}
// The frame the output has now, if new.
PixelBufferRef take(PlayerItemVideoOutput& output) {
    const MediaTime t = output.itemTimeForHostTime(hostTime());
    return output.hasNewPixelBufferForItemTime(t) ? output.copyPixelBufferForItemTime(t, nullptr)
                                                  : nullptr;
}
// Calls `handler` for every end-of-item notification while it lives.
struct EndObserver {
    explicit EndObserver(std::function<void(const Notification&)> handler) {
        NotificationCenter::defaultCenter().addObserver(
            this, kPlayerItemDidPlayToEndTimeNotification, nullptr, std::move(handler));
    }
    ~EndObserver() { NotificationCenter::defaultCenter().removeObserver(this); }
};

TEST(QueuePlayerContract, QueueOperationsAndRates) {
    auto player = QueuePlayer::create();
    auto a = itemOf(90), b = itemOf(90), c = itemOf(90);
    player->replaceCurrentItemWithPlayerItem(a);
    player->insertItem(c, nullptr);
    player->insertItem(b, a);        // between a and c
    player->insertItem(b, nullptr);  // already queued: no change
    EXPECT_EQ(player->items(), (std::vector{a, b, c}));
    player->removeItem(b);  // not current: just leaves
    player->removeItem(a);  // current: the next becomes current
    EXPECT_EQ(player->items(), (std::vector{c}));
    EXPECT_TRUE(ItemAccess::of(*c).isCurrent());
    EXPECT_FALSE(ItemAccess::of(*a).isCurrent());

    ASSERT_TRUE(eventually([&] { return ItemAccess::of(*c).isReady(); }));
    player->setRate(2.0f);
    player->setRate(-1.0f);  // taken as 0: the clock stands
    EXPECT_EQ(player->rate(), 0.f);
    player->replaceCurrentItemWithPlayerItem(b);
    EXPECT_EQ(player->items(), (std::vector{b}));
    player->removeAllItems();
    EXPECT_FALSE(ItemAccess::of(*b).isCurrent());
    player->insertItem(a, nullptr);  // into an empty queue: current at once
    EXPECT_EQ(player->currentItem(), a);
}

TEST(QueuePlayerContract, OutputsAndPicturesFollowTheCurrentItem) {
    auto player = QueuePlayer::create();
    PictureSource pictures(player);
    auto output = PlayerItemVideoOutput::create({kPixelFormatType32BGRA, true, true});
    EXPECT_EQ(pictures.frameForHostTime(hostTime()), nullptr);
    auto a = itemOf(90), b = itemOf(6);
    player->replaceCurrentItemWithPlayerItem(a);
    player->insertItem(b, a);
    b->addOutput(output);
    ASSERT_TRUE(eventually([&] {
        return pictures.frameForHostTime(hostTime()) != nullptr && ItemAccess::of(*b).isReady();
    }));
    // b waits behind a: its output has no item time and nothing to show.
    EXPECT_FALSE(output->itemTimeForHostTime(hostTime()).isValid());
    EXPECT_EQ(take(*output), nullptr);

    player->removeItem(a);
    PixelBufferRef first;
    ASSERT_TRUE(eventually([&] { return (first = take(*output)) != nullptr; }));
    EXPECT_EQ(first->presentationTime(), MediaTime::zero());
    EXPECT_EQ(take(*output), nullptr);  // paused, a frame is new once
    // b's frame replaces a's in the picture; with nothing current, it stays.
    EXPECT_EQ(pictures.frameForHostTime(hostTime()), first);
    player->removeAllItems();
    EXPECT_EQ(pictures.frameForHostTime(hostTime()), first);
}

TEST(QueuePlayerContract, TheEndIsPostedOnAnotherThreadWhereItsObserverMayDropThePlayer) {
    auto player = QueuePlayer::create();
    std::atomic<bool> dropped = false, elsewhere = false;
    EndObserver observer([&, test = std::this_thread::get_id()](const Notification&) {
        elsewhere = std::this_thread::get_id() != test;
        player.reset();
        dropped = true;  // the last the handler touches
    });
    player->replaceCurrentItemWithPlayerItem(itemOf(6));
    player->play();
    EXPECT_TRUE(eventually([&] { return dropped.load(); }));
    EXPECT_TRUE(elsewhere.load());
}

// The application's loop and pump over a numbered clip: observers around the loop's turn judge
// each seam; the pump's hook, on the test thread, the frames of each turn.
class PumpedLoop {
  public:
    explicit PumpedLoop(const std::string& path) {
        before_.emplace([this](const Notification& n) {
            const auto ended = ClipLoop::endedItem(n);
            std::lock_guard lock(mutex_);
            end_ = ended ? ended->endHostTime() : std::nullopt;
            rateAtEnd_ = player_->rate();
        });
        loop_.observeEnds();
        after_.emplace([this](const Notification& n) {
            const auto queue = player_->items();
            const auto output = output_.load();
            const float rate = player_->rate();
            std::lock_guard lock(mutex_);
            // The ended item waits behind the other, which alone has an output, a fresh one.
            const bool turned = queue.size() == 2 && queue[1] == ClipLoop::endedItem(n) &&
                                queue[0]->outputs() == std::vector{output} &&
                                queue[1]->outputs().empty() && output != lastOutput_;
            turnsRight_ &= turned && end_.has_value();
            lastOutput_ = output;
            if (!turned || !end_ || rate != rateAtEnd_ || !queue[0]->isReady()) return;
            // The next item runs at the same rate from the very host time the ended one ran out.
            const double later = player_->currentTimeForHostTime(*end_ + 0.01).seconds();
            turnsRight_ &= std::abs(later - 0.01 * rate) < 1e-6;
            ++judged_;
        });
        pump_.addFrameHook([this](const PixelBufferRef& frame,
                                  const std::shared_ptr<PlayerItemVideoOutput>& output, double) {
            const bool newTurn = output != pumped_;
            pumped_ = output;
            const int number = readFrameNumber(*frame);
            ++framesTaken_;
            framesInOrder_ &= frame->presentationTime() == MediaTime{number, 30} &&
                              (newTurn || number > lastNumber_);
            lastNumber_ = number;
        });
        loop_.start(PreparedClip::prepare(FileUrl::fromPath(path)), 1.0f);
    }
    ~PumpedLoop() { player_->pause(); }
    void setRate(float rate) { player_->setRate(rate); }
    int turns() const { return loop_.turns(); }
    bool waitForTurns(int count) {
        return eventually([&] {
            pump_.tick({}, hostTime());
            return turns() >= count;
        });
    }
    bool framesInOrder() const { return framesTaken_ > 0 && framesInOrder_; }
    bool turnsWereExact() {
        std::lock_guard lock(mutex_);
        return judged_ > 0 && turnsRight_;
    }

  private:
    std::optional<EndObserver> before_;  // registered first: called first
    const std::shared_ptr<QueuePlayer> player_ = QueuePlayer::create();
    FramePump::OutputSlot output_;
    ClipLoop loop_{player_, output_};
    FramePump pump_{output_};
    std::optional<EndObserver> after_;
    std::mutex mutex_;  // the end observers' record
    std::optional<double> end_;
    float rateAtEnd_ = 0;
    std::shared_ptr<PlayerItemVideoOutput> lastOutput_;
    bool turnsRight_ = true;
    int judged_ = 0;
    std::shared_ptr<PlayerItemVideoOutput> pumped_;  // the pump's record, test thread only
    int framesTaken_ = 0, lastNumber_ = -1;
    bool framesInOrder_ = true;
};

TEST(SeamlessClipLoop, EveryTurnStartsWhereTheLastEndedWithAFreshOutputAndFramesOnceInOrder) {
    PumpedLoop loop(clip("loop.mp4", {.frames = 8}));
    for (const float rate : {0.5f, 8.0f, 0.0f, 3.0f}) {  // frozen, then on again
        loop.setRate(rate);
        ASSERT_TRUE(loop.waitForTurns(loop.turns() + (rate > 0 ? 3 : 0))) << rate;
    }
    EXPECT_TRUE(loop.turnsWereExact());
    EXPECT_TRUE(loop.framesInOrder());
}

}  // namespace
}  // namespace cliploop::testing
