// The queue player's contract on real decoded clips: the queue, the end of
// an item, rates, outputs, seeking.
// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <mutex>
#include <thread>

#include "foundation/HostClock.h"
#include "foundation/NotificationCenter.h"
#include "media/ItemState.h"
#include "support/ClipGenerator.h"
#include "support/Pull.h"

namespace cliploop::testing {
namespace {

const PixelBufferAttributes kAttributes{kPixelFormatType32BGRA, true, true};

// Polls (a hang guard of 30 s, not a timing check).
bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Records end-of-item notifications and, optionally, acts on them.
class EndObserver {
  public:
    explicit EndObserver(std::shared_ptr<QueuePlayer> player,
                         std::function<void(const std::shared_ptr<PlayerItem>&)> action = {})
        : player_(std::move(player)), action_(std::move(action)) {
        NotificationCenter::defaultCenter().addObserver(
            this, kPlayerItemDidPlayToEndTimeNotification, nullptr, [this](const Notification& n) {
                const auto* item = std::any_cast<std::shared_ptr<PlayerItem>>(&n.object);
                std::lock_guard lock(mutex_);
                ended_.push_back(item ? *item : nullptr);
                currentWhileObserving_.push_back(player_->currentItem());
                sender_ = n.sender;
                thread_ = std::this_thread::get_id();
                if (action_ && item) action_(*item);
            });
    }
    ~EndObserver() { NotificationCenter::defaultCenter().removeObserver(this); }
    size_t count() const {
        std::lock_guard lock(mutex_);
        return ended_.size();
    }
    std::vector<std::shared_ptr<PlayerItem>> ended() const {
        std::lock_guard lock(mutex_);
        return ended_;
    }
    std::vector<std::shared_ptr<PlayerItem>> currentWhileObserving() const {
        std::lock_guard lock(mutex_);
        return currentWhileObserving_;
    }
    const void* sender() const {
        std::lock_guard lock(mutex_);
        return sender_;
    }
    std::thread::id thread() const {
        std::lock_guard lock(mutex_);
        return thread_;
    }

  private:
    std::shared_ptr<QueuePlayer> player_;
    std::function<void(const std::shared_ptr<PlayerItem>&)> action_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<PlayerItem>> ended_;
    std::vector<std::shared_ptr<PlayerItem>> currentWhileObserving_;
    const void* sender_ = nullptr;
    std::thread::id thread_;
};

class QueuePlayerContract : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        ClipSpec spec;
        spec.frames = 6;  // 0.2 s
        ASSERT_EQ(writeClip(dir->path("short.mp4"), spec), "");
        spec.frames = 90;  // 3 s: does not end during a test
        ASSERT_EQ(writeClip(dir->path("long.mp4"), spec), "");
    }
    static void TearDownTestSuite() { delete dir; }
    static std::shared_ptr<PlayerItem> item(const char* name) { return itemFor(dir->path(name)); }

    // Takes the frame the output has now, if new.
    static PixelBufferRef take(PlayerItemVideoOutput& output) {
        const MediaTime t = output.itemTimeForHostTime(hostTime());
        return output.hasNewPixelBufferForItemTime(t)
                   ? output.copyPixelBufferForItemTime(t, nullptr)
                   : nullptr;
    }

    static TempDir* dir;
    std::shared_ptr<QueuePlayer> player = QueuePlayer::create();
};
TempDir* QueuePlayerContract::dir = nullptr;

TEST_F(QueuePlayerContract, StartsEmptyAndStill) {
    EXPECT_EQ(player->currentItem(), nullptr);
    EXPECT_TRUE(player->items().empty());
    EXPECT_EQ(player->rate(), 0.f);
    EXPECT_FALSE(player->currentTimeForHostTime(hostTime()).isValid());
}

TEST_F(QueuePlayerContract, QueueOperations) {
    auto a = item("long.mp4"), b = item("long.mp4"), c = item("long.mp4");
    player->replaceCurrentItemWithPlayerItem(a);
    EXPECT_EQ(player->currentItem(), a);
    player->insertItem(c, nullptr);
    player->insertItem(b, a);  // between a and c
    EXPECT_EQ(player->items(), (std::vector{a, b, c}));
    player->insertItem(b, nullptr);  // already queued: no change
    EXPECT_EQ(player->items(), (std::vector{a, b, c}));

    player->removeItem(b);  // not current: just leaves
    EXPECT_EQ(player->items(), (std::vector{a, c}));
    player->removeItem(a);  // current: the next becomes current
    EXPECT_EQ(player->currentItem(), c);
    EXPECT_TRUE(c->state()->isCurrent());
    EXPECT_FALSE(a->state()->isCurrent());

    player->replaceCurrentItemWithPlayerItem(b);
    EXPECT_EQ(player->items(), (std::vector{b}));
    player->removeAllItems();
    EXPECT_TRUE(player->items().empty());
    EXPECT_EQ(player->currentItem(), nullptr);
    EXPECT_FALSE(b->state()->isCurrent());

    player->insertItem(a, nullptr);  // into an empty queue: current at once
    EXPECT_EQ(player->currentItem(), a);
}

TEST_F(QueuePlayerContract, RateDrivesTheClockAndNegativeMeansFrozen) {
    auto a = item("long.mp4");
    player->replaceCurrentItemWithPlayerItem(a);
    ASSERT_TRUE(eventually([&] { return a->state()->isReady(); }));
    const double h = hostTime() + 0.5;  // host times ahead of now: no waiting
    player->setRate(2.0f);
    EXPECT_EQ(player->rate(), 2.f);
    const double oneSecondLater = player->currentTimeForHostTime(h + 1).seconds() -
                                  player->currentTimeForHostTime(h).seconds();
    EXPECT_NEAR(oneSecondLater, 2.0, 1e-6);

    player->setRate(-1.0f);
    EXPECT_EQ(player->rate(), 0.f);
    EXPECT_EQ(player->currentTimeForHostTime(h + 1), player->currentTimeForHostTime(h + 2));
    player->play();
    EXPECT_EQ(player->rate(), 1.f);
    player->pause();
    EXPECT_EQ(player->rate(), 0.f);
}

TEST_F(QueuePlayerContract, AnOutputServesOnlyTheItemItIsAttachedTo) {
    auto output = PlayerItemVideoOutput::create(kAttributes);
    EXPECT_FALSE(output->itemTimeForHostTime(hostTime()).isValid());
    EXPECT_FALSE(output->hasNewPixelBufferForItemTime(MediaTime::zero()));
    EXPECT_EQ(output->attributes().pixelFormatType, kPixelFormatType32BGRA);

    auto a = item("long.mp4"), b = item("long.mp4");
    player->replaceCurrentItemWithPlayerItem(a);
    player->insertItem(b, a);
    b->addOutput(output);
    // b waits behind a: no item time, nothing to show yet.
    EXPECT_FALSE(output->itemTimeForHostTime(hostTime()).isValid());
    ASSERT_TRUE(eventually([&] { return b->state()->isReady(); }));
    EXPECT_EQ(take(*output), nullptr);

    player->removeItem(a);
    PixelBufferRef first;
    ASSERT_TRUE(eventually([&] { return (first = take(*output)) != nullptr; }));
    EXPECT_EQ(readFrameNumber(*first), 0);
    EXPECT_EQ(first->presentationTime(), MediaTime::zero());
}

TEST_F(QueuePlayerContract, APausedItemShowsItsFirstFrameOnce) {
    auto a = item("long.mp4");
    auto output = PlayerItemVideoOutput::create(kAttributes);
    player->replaceCurrentItemWithPlayerItem(a);
    a->addOutput(output);
    PixelBufferRef frame;
    ASSERT_TRUE(eventually([&] { return (frame = take(*output)) != nullptr; }));
    EXPECT_EQ(readFrameNumber(*frame), 0);
    MediaTime shown;
    EXPECT_FALSE(output->hasNewPixelBufferForItemTime(output->itemTimeForHostTime(hostTime())));
    // Asking again still gives the frame, with its time.
    EXPECT_NE(output->copyPixelBufferForItemTime(MediaTime::zero(), &shown), nullptr);
    EXPECT_EQ(shown, MediaTime::zero());
}

TEST_F(QueuePlayerContract, EndIsPostedOnceWithTheEndedItemStillCurrentThenAdvances) {
    EndObserver observer(player);
    auto a = item("short.mp4"), b = item("long.mp4");
    player->replaceCurrentItemWithPlayerItem(a);
    player->insertItem(b, a);
    player->setActionAtItemEnd(ActionAtItemEnd::Advance);
    player->play();
    ASSERT_TRUE(eventually([&] { return player->currentItem() == b; }));
    ASSERT_EQ(observer.count(), 1u);
    EXPECT_EQ(observer.ended()[0], a);
    EXPECT_EQ(observer.currentWhileObserving()[0], a);
    EXPECT_EQ(observer.sender(), a.get());
    EXPECT_NE(observer.thread(), std::this_thread::get_id());
    // The ended item left the queue; the next plays on at the same rate.
    EXPECT_EQ(player->items(), (std::vector{b}));
    EXPECT_EQ(player->rate(), 1.f);
    EXPECT_TRUE(b->state()->isCurrent());
}

TEST_F(QueuePlayerContract, AnObserverThatChangesTheQueueIsNotOverruled) {
    // The observer moves the ended item behind the other itself; the
    // player must not advance a second time.
    std::shared_ptr<QueuePlayer> p = player;
    EndObserver observer(player, [p](const std::shared_ptr<PlayerItem>& ended) {
        p->removeItem(ended);
        ended->seekToTime(MediaTime::zero());
        p->insertItem(ended, nullptr);
    });
    auto a = item("short.mp4"), b = item("long.mp4");
    player->replaceCurrentItemWithPlayerItem(a);
    player->insertItem(b, a);
    player->play();
    ASSERT_TRUE(eventually([&] { return observer.count() == 1; }));
    ASSERT_TRUE(eventually([&] { return player->items().size() == 2; }));
    EXPECT_EQ(player->items(), (std::vector{b, a}));
    EXPECT_EQ(player->currentItem(), b);
}

TEST_F(QueuePlayerContract, AnEndedItemIsReportedOnceWhileItStaysCurrent) {
    EndObserver observer(player);
    auto a = item("short.mp4");
    player->replaceCurrentItemWithPlayerItem(a);
    player->setActionAtItemEnd(ActionAtItemEnd::None);
    player->play();
    ASSERT_TRUE(eventually([&] { return observer.count() == 1; }));
    // Rate changes do not make it end again.
    player->setRate(2.0f);
    player->setRate(1.0f);
    EXPECT_EQ(player->currentItem(), a);
    EXPECT_EQ(a->state()->runOutHostTime(), std::nullopt);
    EXPECT_EQ(observer.count(), 1u);
    // Rewound, it plays to its end again.
    a->seekToTime(MediaTime::zero());
    ASSERT_TRUE(eventually([&] { return observer.count() == 2; }));
}

TEST_F(QueuePlayerContract, RewoundItemPlaysFromItsStartWhenItsTurnComes) {
    auto a = item("short.mp4"), b = item("short.mp4");
    auto output = PlayerItemVideoOutput::create(kAttributes);
    player->replaceCurrentItemWithPlayerItem(a);
    player->insertItem(b, a);
    ASSERT_EQ(pullNumbers(*a).size(), 6u);  // read a to its end
    player->removeItem(a);
    a->seekToTime(MediaTime::zero());
    player->insertItem(a, nullptr);
    player->removeItem(b);
    EXPECT_EQ(player->currentItem(), a);
    a->addOutput(output);
    PixelBufferRef frame;
    ASSERT_TRUE(eventually([&] { return (frame = take(*output)) != nullptr; }));
    EXPECT_EQ(readFrameNumber(*frame), 0);
}

TEST_F(QueuePlayerContract, PictureSourceFollowsTheCurrentItem) {
    PictureSource pictures(player);
    EXPECT_EQ(pictures.frameForHostTime(hostTime()), nullptr);
    auto a = item("long.mp4"), b = item("short.mp4");
    player->replaceCurrentItemWithPlayerItem(a);
    player->insertItem(b, a);
    PixelBufferRef shown;
    ASSERT_TRUE(
        eventually([&] { return (shown = pictures.frameForHostTime(hostTime())) != nullptr; }));
    EXPECT_EQ(shown->width(), 64);
    player->removeItem(a);
    // Until b's first frame is there, the last picture stays.
    ASSERT_TRUE(eventually([&] {
        auto now = pictures.frameForHostTime(hostTime());
        return now && now != shown;
    }));
    player->removeAllItems();
    EXPECT_NE(pictures.frameForHostTime(hostTime()), nullptr);
}

TEST_F(QueuePlayerContract, OutputListDoesNotGrowWithDroppedOutputs) {
    auto a = item("long.mp4");
    auto kept = PlayerItemVideoOutput::create(kAttributes);
    a->addOutput(kept);
    for (int i = 0; i < 100; ++i) a->addOutput(PlayerItemVideoOutput::create(kAttributes));
    EXPECT_LE(a->outputs().size(), 2u);
    a->removeOutput(kept);
    EXPECT_FALSE(kept->itemTimeForHostTime(hostTime()).isValid());
}

TEST_F(QueuePlayerContract, DroppingPlayerAndItemsWhileTheyWorkEndsCleanly) {
    for (int i = 0; i < 8; ++i) {
        auto p = QueuePlayer::create();
        auto a = item("long.mp4"), b = item("long.mp4");
        p->replaceCurrentItemWithPlayerItem(a);
        p->insertItem(b, a);
        p->play();
        if (i % 2) std::this_thread::sleep_for(std::chrono::milliseconds(i));
    }
    // The player dropped from its own end-of-item observer.
    auto p = std::make_shared<std::shared_ptr<QueuePlayer>>(QueuePlayer::create());
    std::atomic<bool> dropped = false;
    {
        std::mutex m;
        NotificationCenter::defaultCenter().addObserver(
            &dropped, kPlayerItemDidPlayToEndTimeNotification, nullptr, [&](const Notification&) {
                std::lock_guard lock(m);
                p->reset();
                dropped = true;
            });
        (*p)->replaceCurrentItemWithPlayerItem(item("short.mp4"));
        (*p)->play();
        EXPECT_TRUE(eventually([&] { return dropped.load(); }));
        NotificationCenter::defaultCenter().removeObserver(&dropped);
    }
}

}  // namespace
}  // namespace cliploop::testing
