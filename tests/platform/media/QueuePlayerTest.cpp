// ctest-labels: concurrency
// The queue player and the clip loop on real clips.
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
PixelBufferRef take(PlayerItemVideoOutput& output) {
    const MediaTime t = output.itemTimeForHostTime(hostTime());
    return output.hasNewPixelBufferForItemTime(t) ? output.copyPixelBufferForItemTime(t, nullptr)
                                                  : nullptr;
}
struct EndObserver {
    explicit EndObserver(std::function<void(const Notification&)> handler) {
        NotificationCenter::defaultCenter().addObserver(
            this, kPlayerItemDidPlayToEndTimeNotification, nullptr, std::move(handler));
    }
    ~EndObserver() { NotificationCenter::defaultCenter().removeObserver(this); }
};

TEST(QueuePlayerContract, OutputsAndPicturesFollowTheCurrentItem) {
    auto player = QueuePlayer::create();
    PictureSource pictures(player);
    auto output = PlayerItemVideoOutput::create({kPixelFormatType32BGRA, true, true});
    auto a = itemOf(90), b = itemOf(6);
    player->replaceCurrentItemWithPlayerItem(a);
    player->insertItem(b, a);
    b->addOutput(output);
    ASSERT_TRUE(eventually([&] {
        return pictures.frameForHostTime(hostTime()) != nullptr && ItemAccess::of(*b).isReady();
    }));
    EXPECT_FALSE(output->itemTimeForHostTime(hostTime()).isValid() || take(*output));  // b waits
    player->removeItem(a);
    PixelBufferRef first;
    ASSERT_TRUE(eventually([&] { return (first = take(*output)) != nullptr; }));
    EXPECT_TRUE(first->presentationTime() == MediaTime::zero() && !take(*output));  // new once
    EXPECT_EQ(pictures.frameForHostTime(hostTime()), first);  // b's frame replaces a's
    player->removeAllItems();                                 // and stays
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
    EXPECT_TRUE(eventually([&] { return dropped.load(); }) && elsewhere.load());
}

// Observers around the loop's turn judge each seam; the pump's hook the frames of each turn.
TEST(SeamlessClipLoop, EveryTurnStartsWhereTheLastEndedWithAFreshOutputAndFramesOnceInOrder) {
    std::mutex mutex;  // the end observers' record; the frame hook's are pumped and lastNumber
    std::optional<double> end;
    bool nextReady = false;
    std::shared_ptr<PlayerItemVideoOutput> lastOutput, pumped;
    int judged = 0, wrong = 0, lastNumber = -1;
    // Counted before each change of rate: a turn is judged only when no change
    // began between its end and the reading of the next item's clock.
    std::atomic<int> rateChanges{0};
    int rateChangesAtEnd = 0;
    const auto player = QueuePlayer::create();
    EndObserver before([&](const Notification& n) {  // registered first: called first
        const auto ended = ClipLoop::endedItem(n);
        const auto queue = player->items();
        std::lock_guard lock(mutex);
        end = ended ? ended->endHostTime() : std::nullopt;
        rateChangesAtEnd = rateChanges.load();
        // Only an item primed before the seam can start without waiting for its first frame.
        nextReady = queue.size() == 2 && queue[1]->isReady();
    });
    FramePump::OutputSlot slot;
    ClipLoop loop{player, slot};
    loop.observeEnds();
    EndObserver after([&](const Notification& n) {
        const auto queue = player->items();
        const auto output = slot.load();
        const float rate = player->rate();
        std::lock_guard lock(mutex);
        // The ended item waits behind the other, which alone has an output, a fresh one.
        const bool turned = queue.size() == 2 && queue[1] == ClipLoop::endedItem(n) &&
                            queue[0]->outputs() == std::vector{output} &&
                            queue[1]->outputs().empty() && output != lastOutput;
        wrong += !turned || !end;
        lastOutput = output;
        if (!turned || !end || !nextReady) return;
        // The next item runs at the same rate from the very host time the ended one ran out.
        const double later = player->currentTimeForHostTime(*end + 0.01).seconds();
        if (rateChanges.load() != rateChangesAtEnd) return;
        wrong += std::abs(later - 0.01 * rate) > 1e-6;
        ++judged;
    });
    FramePump pump{slot};
    bool framesInOrder = true;
    pump.addFrameHook([&](const PixelBufferRef& frame,
                          const std::shared_ptr<PlayerItemVideoOutput>& output, double) {
        const int number = readFrameNumber(*frame);
        framesInOrder &= frame->presentationTime() == MediaTime{number, 30} &&
                         (output != pumped || number > lastNumber);
        pumped = output;
        lastNumber = number;
    });
    loop.start(PreparedClip::prepare(FileUrl::fromPath(clip("loop.mp4", {.frames = 8}))), 1.0f);
    for (const float rate : {0.5f, 8.0f, 0.0f, 3.0f}) {  // frozen, then on again
        ++rateChanges;
        player->setRate(rate);
        const int turns = loop.turns() + (rate > 0 ? 3 : 0);
        ASSERT_TRUE(eventually([&] {
            pump.tick({}, hostTime());
            return loop.turns() >= turns;
        })) << rate;
    }
    ++rateChanges;
    player->pause();
    EXPECT_TRUE(lastNumber >= 0 && framesInOrder);
    std::lock_guard lock(mutex);
    EXPECT_TRUE(wrong == 0 && judged > 0);
}

TEST(ClipLoop, ClipStartsNeverOverlapTurnsDetachTheOldOutputsAndOvertakeTheOldEnds) {
    const auto player = QueuePlayer::create();
    ClipLoop::OutputSlot slot;
    ClipLoop loop{player, slot};
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
    const auto items = player->items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_TRUE(loop.turns() == turns && items[0]->asset() == last.asset &&
                items[1]->asset() == last.asset && items[0]->outputs() == std::vector{output} &&
                items[1]->outputs().empty());
    player->pause();
}

}  // namespace
}  // namespace cliploop::testing
