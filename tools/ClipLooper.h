#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "foundation/FileUrl.h"
#include "foundation/HostClock.h"
#include "foundation/NotificationCenter.h"
#include "media/MediaEngine.h"

namespace cliploop {

// A clip looped the way the application's controller loops it: two items of
// one asset taking turns, a fresh output attached to the item that starts at
// each turn, the turn made in the end-of-item observer (on the engine's
// playback thread). Shared by cliploop-play and the media benchmarks.
class ClipLooper {
  public:
    explicit ClipLooper(const FileUrl& url) {
        std::lock_guard turning(guard_->mutex);
        player_ = QueuePlayer::create();
        startHost_ = hostTime();
        setOutput(PlayerItemVideoOutput::create(attributes()), 0);
        const auto asset = Asset::assetWithURL(url);
        player_->pause();
        a_ = PlayerItem::create(asset);
        b_ = PlayerItem::create(asset);
        player_->removeAllItems();
        player_->replaceCurrentItemWithPlayerItem(a_);
        player_->insertItem(b_, a_);
        player_->setActionAtItemEnd(ActionAtItemEnd::Advance);
        if (auto current = player_->currentItem()) current->addOutput(output());
        player_->play();
        // The observer holds the guard, not the looper: a turn that is under
        // way while the looper goes away finishes before it is destroyed, and
        // one that starts later does nothing.
        NotificationCenter::defaultCenter().addObserver(
            this, kPlayerItemDidPlayToEndTimeNotification, nullptr,
            [this, guard = guard_](const Notification&) {
                std::lock_guard turning(guard->mutex);
                if (!guard->closed) turn();
            });
    }
    ~ClipLooper() {
        NotificationCenter::defaultCenter().removeObserver(this);
        std::lock_guard turning(guard_->mutex);
        guard_->closed = true;
    }

    QueuePlayer& player() { return *player_; }
    const PlayerItem& itemA() const { return *a_; }
    double startHost() const { return startHost_; }
    int turns() const { return turns_.load(); }
    std::pair<std::shared_ptr<PlayerItemVideoOutput>, int> currentOutput() const {
        std::lock_guard lock(mutex_);
        return {output_, outputTurn_};
    }
    ItemStats stats() const {
        ItemStats total;
        for (const auto& item : {a_, b_}) {
            const ItemStats s = item->stats();
            total.decoded += s.decoded;
            total.skippedLate += s.skippedLate;
            total.droppedUnseen += s.droppedUnseen;
            total.underruns += s.underruns;
        }
        return total;
    }

  private:
    static PixelBufferAttributes attributes() { return {kPixelFormatType32BGRA, true, true}; }
    std::shared_ptr<PlayerItemVideoOutput> output() const { return currentOutput().first; }
    void setOutput(std::shared_ptr<PlayerItemVideoOutput> output, int turn) {
        std::lock_guard lock(mutex_);
        output_ = std::move(output);
        outputTurn_ = turn;
    }

    // The loop turn, on the engine's playback thread.
    void turn() {
        setOutput(PlayerItemVideoOutput::create(attributes()), turns_.load() + 1);
        const auto ended = player_->currentItem();
        if (ended) {
            player_->removeItem(ended);
            ended->seekToTime(MediaTime::zero());
            if (auto current = player_->currentItem()) current->addOutput(output());
            player_->insertItem(ended, nullptr);
        }
        ++turns_;
    }

    std::shared_ptr<QueuePlayer> player_;
    std::shared_ptr<PlayerItem> a_, b_;
    double startHost_ = 0;
    mutable std::mutex mutex_;
    std::shared_ptr<PlayerItemVideoOutput> output_;
    int outputTurn_ = 0;
    struct TurnGuard {
        std::mutex mutex;  // a turn and the clip start never overlap
        bool closed = false;
    };
    std::shared_ptr<TurnGuard> guard_ = std::make_shared<TurnGuard>();
    std::atomic<int> turns_{0};
};

}  // namespace cliploop
