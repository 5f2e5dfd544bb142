// The queue player's contract on real decoded clips: the queue, the end of
// an item, rates, outputs, the picture source.
// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <mutex>

#include "foundation/HostClock.h"
#include "foundation/NotificationCenter.h"
#include "support/ClipGenerator.h"
#include "support/LoopDriver.h"
#include "support/Pull.h"

namespace cliploop::testing {
namespace {

std::shared_ptr<PlayerItem> shortItem() {  // 0.2 s
    return itemFor(clip("short.mp4", {.frames = 6}));
}
std::shared_ptr<PlayerItem> longItem() {  // outlasts a test
    return itemFor(clip("long.mp4", {.frames = 90}));
}
// The frame the output has now, if new.
PixelBufferRef take(PlayerItemVideoOutput& output) {
    const MediaTime t = output.itemTimeForHostTime(hostTime());
    return output.hasNewPixelBufferForItemTime(t) ? output.copyPixelBufferForItemTime(t, nullptr)
                                                  : nullptr;
}

TEST(QueuePlayerContract, QueueOperations) {
    auto player = QueuePlayer::create();
    EXPECT_EQ(player->currentItem(), nullptr);
    EXPECT_EQ(player->rate(), 0.f);
    EXPECT_FALSE(player->currentTimeForHostTime(hostTime()).isValid());

    auto a = longItem(), b = longItem(), c = longItem();
    player->replaceCurrentItemWithPlayerItem(a);
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
    EXPECT_FALSE(b->state()->isCurrent());
    player->insertItem(a, nullptr);  // into an empty queue: current at once
    EXPECT_EQ(player->currentItem(), a);
}

TEST(QueuePlayerContract, RateDrivesTheClockAndNegativeMeansFrozen) {
    auto player = QueuePlayer::create();
    auto a = longItem();
    player->replaceCurrentItemWithPlayerItem(a);
    ASSERT_TRUE(eventually([&] { return a->state()->isReady(); }));
    const double h = hostTime() + 0.5;  // host times ahead of now: no waiting
    player->setRate(2.0f);
    EXPECT_EQ(player->rate(), 2.f);
    EXPECT_NEAR(player->currentTimeForHostTime(h + 1).seconds() -
                    player->currentTimeForHostTime(h).seconds(),
                2.0, 1e-6);
    player->setRate(-1.0f);
    EXPECT_EQ(player->rate(), 0.f);
    EXPECT_EQ(player->currentTimeForHostTime(h + 1), player->currentTimeForHostTime(h + 2));
    player->play();
    EXPECT_EQ(player->rate(), 1.f);
    player->pause();
    EXPECT_EQ(player->rate(), 0.f);
}

TEST(QueuePlayerContract, AnOutputServesOnlyItsItemAndOnlyWhileItIsCurrent) {
    auto player = QueuePlayer::create();
    auto output = PlayerItemVideoOutput::create(pumpAttributes());
    EXPECT_FALSE(output->itemTimeForHostTime(hostTime()).isValid());
    EXPECT_FALSE(output->hasNewPixelBufferForItemTime(MediaTime::zero()));

    auto a = longItem(), b = longItem();
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
    // Paused, the first frame is new once; asked again it is still given.
    EXPECT_FALSE(output->hasNewPixelBufferForItemTime(output->itemTimeForHostTime(hostTime())));
    MediaTime shown;
    EXPECT_NE(output->copyPixelBufferForItemTime(MediaTime::zero(), &shown), nullptr);
    EXPECT_EQ(shown, MediaTime::zero());

    // Outputs dropped by their owners do not pile up on the item.
    for (int i = 0; i < 100; ++i) b->addOutput(PlayerItemVideoOutput::create(pumpAttributes()));
    EXPECT_LE(b->outputs().size(), 2u);
    b->removeOutput(output);
    EXPECT_FALSE(output->itemTimeForHostTime(hostTime()).isValid());
}

TEST(QueuePlayerContract, EndIsPostedOnceWithTheEndedItemStillCurrent) {
    struct Seen {
        std::shared_ptr<PlayerItem> item, current;
        const void* sender;
        std::thread::id thread;
    };
    for (const auto action : {ActionAtItemEnd::Advance, ActionAtItemEnd::None}) {
        auto player = QueuePlayer::create();
        auto log = std::make_shared<std::pair<std::mutex, std::vector<Seen>>>();
        const auto seen = [log] {
            std::lock_guard lock(log->first);
            return log->second;
        };
        NotificationCenter::defaultCenter().addObserver(
            &log, kPlayerItemDidPlayToEndTimeNotification, nullptr,
            [log, player](const Notification& n) {
                const auto* item = std::any_cast<std::shared_ptr<PlayerItem>>(&n.object);
                std::lock_guard lock(log->first);
                log->second.push_back({item ? *item : nullptr, player->currentItem(), n.sender,
                                       std::this_thread::get_id()});
            });
        auto a = shortItem(), b = longItem();
        player->replaceCurrentItemWithPlayerItem(a);
        player->insertItem(b, a);
        player->setActionAtItemEnd(action);
        player->play();
        ASSERT_TRUE(eventually([&] { return !seen().empty(); }));
        EXPECT_EQ(seen()[0].item, a);
        EXPECT_EQ(seen()[0].current, a);
        EXPECT_EQ(seen()[0].sender, a.get());
        EXPECT_NE(seen()[0].thread, std::this_thread::get_id());
        if (action == ActionAtItemEnd::Advance) {
            // The ended item leaves; the next plays on at the same rate.
            ASSERT_TRUE(eventually([&] { return player->currentItem() == b; }));
            EXPECT_EQ(player->items(), (std::vector{b}));
            EXPECT_EQ(player->rate(), 1.f);
            EXPECT_TRUE(b->state()->isCurrent());
            EXPECT_EQ(seen().size(), 1u);
        } else {
            player->setRate(2.0f);  // rate changes do not make it end again
            player->setRate(1.0f);
            EXPECT_EQ(player->currentItem(), a);
            EXPECT_EQ(a->state()->runOutHostTime(), std::nullopt);
            EXPECT_EQ(seen().size(), 1u);
            a->seekToTime(MediaTime::zero());  // rewound, it plays to its end again
            ASSERT_TRUE(eventually([&] { return seen().size() == 2; }));
        }
        NotificationCenter::defaultCenter().removeObserver(&log);
    }
}

TEST(QueuePlayerContract, PictureSourceFollowsTheCurrentItem) {
    auto player = QueuePlayer::create();
    PictureSource pictures(player);
    EXPECT_EQ(pictures.frameForHostTime(hostTime()), nullptr);
    auto a = longItem(), b = shortItem();
    player->replaceCurrentItemWithPlayerItem(a);
    player->insertItem(b, a);
    PixelBufferRef shown;
    ASSERT_TRUE(
        eventually([&] { return (shown = pictures.frameForHostTime(hostTime())) != nullptr; }));
    player->removeItem(a);
    // b's first frame replaces a's; with nothing current, the last one stays.
    ASSERT_TRUE(eventually([&] {
        auto now = pictures.frameForHostTime(hostTime());
        return now && now != shown;
    }));
    player->removeAllItems();
    EXPECT_NE(pictures.frameForHostTime(hostTime()), nullptr);
}

TEST(QueuePlayerContract, APlayerDroppedFromItsOwnEndObserverEndsCleanly) {
    auto p = std::make_shared<std::shared_ptr<QueuePlayer>>(QueuePlayer::create());
    std::atomic<bool> dropped = false;
    std::mutex m;
    NotificationCenter::defaultCenter().addObserver(
        &dropped, kPlayerItemDidPlayToEndTimeNotification, nullptr, [&](const Notification&) {
            std::lock_guard lock(m);
            p->reset();
            dropped = true;
        });
    (*p)->replaceCurrentItemWithPlayerItem(shortItem());
    (*p)->play();
    EXPECT_TRUE(eventually([&] { return dropped.load(); }));
    NotificationCenter::defaultCenter().removeObserver(&dropped);
}

}  // namespace
}  // namespace cliploop::testing
