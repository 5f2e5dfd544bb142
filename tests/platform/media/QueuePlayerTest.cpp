// The queue player on real clips: the queue, an item's end, outputs, and looping as the app does.
// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>
#include <thread>

#include "foundation/HostClock.h"
#include "foundation/NotificationCenter.h"
#include "support/MediaTestSupport.h"

namespace cliploop::testing {
namespace {

std::shared_ptr<PlayerItem> shortItem() {  // 0.2 s
    return itemFor(clip("short.mp4", {.frames = 6}));
}
std::shared_ptr<PlayerItem> longItem() {  // 3 s
    return itemFor(clip("long.mp4", {.frames = 90}));
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
    auto a = longItem(), b = longItem(), c = longItem();
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

    ASSERT_TRUE(eventually([&] { return c->isReady(); }));
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
    auto output = PlayerItemVideoOutput::create(pumpAttributes());
    EXPECT_EQ(pictures.frameForHostTime(hostTime()), nullptr);
    auto a = longItem(), b = shortItem();
    player->replaceCurrentItemWithPlayerItem(a);
    player->insertItem(b, a);
    b->addOutput(output);
    ASSERT_TRUE(eventually(
        [&] { return pictures.frameForHostTime(hostTime()) != nullptr && b->isReady(); }));
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

// The loop below checks that the end comes once, with the ended item still current.
TEST(QueuePlayerContract, AtItsEndAnItemLeavesAndTheNextPlaysOnAtTheSameRate) {
    auto player = QueuePlayer::create();
    auto a = shortItem(), b = longItem();
    player->replaceCurrentItemWithPlayerItem(a);
    player->insertItem(b, a);
    player->play();
    ASSERT_TRUE(eventually([&] { return player->currentItem() == b; }));
    EXPECT_EQ(player->items(), (std::vector{b}));
    EXPECT_EQ(player->rate(), 1.f);
}

TEST(QueuePlayerContract, TheEndIsPostedOnAnotherThreadWhereItsObserverMayDropThePlayer) {
    auto player = QueuePlayer::create();
    std::atomic<bool> dropped = false, elsewhere = false;
    EndObserver observer([&, test = std::this_thread::get_id()](const Notification&) {
        elsewhere = std::this_thread::get_id() != test;
        player.reset();
        dropped = true;  // the last the handler touches
    });
    player->replaceCurrentItemWithPlayerItem(shortItem());
    player->play();
    EXPECT_TRUE(eventually([&] { return dropped.load(); }));
    EXPECT_TRUE(elsewhere.load());
}

// Loops as the controller does: two items of one asset, turned in the end observer.
class LoopDriver {
  public:
    explicit LoopDriver(const std::string& path) {
        const auto asset = Asset::assetWithURL(FileUrl::fromPath(path));
        const auto a = PlayerItem::create(asset);
        player_->replaceCurrentItemWithPlayerItem(a);
        player_->insertItem(PlayerItem::create(asset), a);
        a->addOutput(output_);
        // A turn holds the mutex: once stopped, none is under way and later ones do nothing.
        observer_.emplace([this, shared = shared_](const Notification& n) {
            std::lock_guard lock(shared->mutex);
            if (!shared->stopped) turn(n);
        });
    }
    ~LoopDriver() { stop(); }
    void stop() {
        observer_.reset();
        std::lock_guard lock(shared_->mutex);
        shared_->stopped = true;
    }
    void setRate(float rate) {  // between turns, so that a turn sees one clock
        std::lock_guard lock(shared_->mutex);
        player_->setRate(rate);
    }
    int turns() {
        std::lock_guard lock(shared_->mutex);
        return turns_;
    }
    // Takes frames until `count` turns are done; those of a turn must come in order, on time.
    bool waitForTurns(int count) {
        return eventually([&] {
            std::unique_lock lock(shared_->mutex);
            const auto output = output_;
            const int turn = turns_;
            lock.unlock();
            if (auto frame = take(*output)) {
                const int number = readFrameNumber(*frame);
                ++framesTaken_;
                framesInOrder_ &= frame->presentationTime() == MediaTime{number, 30} &&
                                  (turn > lastTurn_ || number > lastNumber_);
                lastTurn_ = turn;
                lastNumber_ = number;
            }
            return turns() >= count;
        });
    }
    bool framesInOrder() const { return framesTaken_ > 0 && framesInOrder_; }
    // The ended item was current at every turn; the next, if ready, started as it ran out.
    bool turnsWereExact() {
        std::lock_guard lock(shared_->mutex);
        return exact_;
    }

  private:
    void turn(const Notification& n) {
        const auto* object = std::any_cast<std::shared_ptr<PlayerItem>>(&n.object);
        const auto items = player_->items();
        if (items.size() != 2 || !object || *object != items[0]) return void(exact_ = false);
        const auto &ended = items[0], &next = items[1];
        const bool nextReady = next->isReady();
        const auto end = ended->endHostTime();
        output_ = PlayerItemVideoOutput::create(pumpAttributes());
        ++turns_;
        player_->removeItem(ended);
        const double later = player_->currentTimeForHostTime(end.value_or(0) + 0.01).seconds();
        if (!end || (nextReady && std::abs(later - 0.01 * player_->rate()) > 1e-6)) exact_ = false;
        ended->seekToTime(MediaTime::zero());
        next->addOutput(output_);
        player_->insertItem(ended, nullptr);
    }

    struct Shared {
        std::mutex mutex;  // guards the driver's state but the test thread's frame record
        bool stopped = false;
    };
    const std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    const std::shared_ptr<QueuePlayer> player_ = QueuePlayer::create();
    std::shared_ptr<PlayerItemVideoOutput> output_ =
        PlayerItemVideoOutput::create(pumpAttributes());
    int turns_ = 0;
    bool exact_ = true;
    int framesTaken_ = 0, lastTurn_ = -1, lastNumber_ = -1;
    bool framesInOrder_ = true;
    std::optional<EndObserver> observer_;
};

TEST(SeamlessLoop, EveryTurnStartsWhereTheLastEndedAndShowsFramesOnceInOrderAtEveryRate) {
    LoopDriver loop(clip("loop.mp4", {.frames = 8}));
    for (const float rate : {0.5f, 8.0f, 0.0f, 3.0f}) {  // frozen, then on again
        loop.setRate(rate);
        const int turns = loop.turns() + (rate > 0 ? 3 : 0);
        ASSERT_TRUE(loop.waitForTurns(turns)) << rate;
    }
    loop.stop();
    EXPECT_TRUE(loop.turnsWereExact());
    EXPECT_TRUE(loop.framesInOrder());
}

}  // namespace
}  // namespace cliploop::testing
