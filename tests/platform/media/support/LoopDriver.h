#pragma once
// Loops one file the way the application's controller does: two items of one
// asset, a fresh output at each turn, the turn done in the end-of-item
// observer. While the test waits, it takes the newest frame every 2 ms as the
// frame pump does, and records every frame it takes.
#include <any>
#include <atomic>
#include <mutex>

#include "ClipGenerator.h"
#include "Pull.h"
#include "foundation/HostClock.h"
#include "foundation/NotificationCenter.h"

namespace cliploop::testing {

inline PixelBufferAttributes pumpAttributes() {
    return {kPixelFormatType32BGRA, true, true};
}

struct TakenFrame {
    int turn;  // the loop turn whose output gave the frame (0: the clip start's)
    MediaTime time;
    int number, width, height;
};

class LoopDriver {
  public:
    LoopDriver(const std::string& path, float rate) {
        std::lock_guard turning(guard_->mutex);
        const auto asset = Asset::assetWithURL(FileUrl::fromPath(path));
        a_ = PlayerItem::create(asset);
        player_->replaceCurrentItemWithPlayerItem(a_);
        player_->insertItem(PlayerItem::create(asset), a_);
        player_->setActionAtItemEnd(ActionAtItemEnd::Advance);
        a_->addOutput(output_);
        player_->setRate(rate);
        // The observer holds the guard, not the driver: a turn under way when
        // the driver stops finishes first, and a later one does nothing.
        NotificationCenter::defaultCenter().addObserver(
            this, kPlayerItemDidPlayToEndTimeNotification, nullptr,
            [this, guard = guard_](const Notification& n) {
                std::lock_guard turning(guard->mutex);
                if (!guard->closed) turn(n);
            });
    }
    ~LoopDriver() { stop(); }

    void stop() {
        NotificationCenter::defaultCenter().removeObserver(this);
        std::lock_guard turning(guard_->mutex);
        guard_->closed = true;
    }
    // Reads frames until `done` holds; false after 30 s (a hang guard).
    bool waitUntil(const std::function<bool()>& done) {
        return eventually([&] {
            read();
            return done();
        });
    }
    int turns() const { return turns_.load(); }
    const std::vector<TakenFrame>& taken() const { return taken_; }
    QueuePlayer& player() { return *player_; }
    std::shared_ptr<PlayerItem> itemA() const { return a_; }
    // Whether, at every turn so far, the ended item was still the current one.
    bool objectWasCurrentItem() const { return objectWasCurrent_; }

  private:
    void turn(const Notification& n) {
        const auto* object = std::any_cast<std::shared_ptr<PlayerItem>>(&n.object);
        if (!object || *object != player_->currentItem()) objectWasCurrent_ = false;
        const auto fresh = PlayerItemVideoOutput::create(pumpAttributes());
        {
            std::lock_guard lock(mutex_);
            output_ = fresh;
            outputTurn_ = turns_.load() + 1;
        }
        const auto ended = player_->currentItem();
        player_->removeItem(ended);
        ended->seekToTime(MediaTime::zero());
        if (auto current = player_->currentItem()) current->addOutput(fresh);
        player_->insertItem(ended, nullptr);
        ++turns_;
    }

    void read() {
        std::unique_lock lock(mutex_);
        const auto output = output_;
        const int turn = outputTurn_;
        lock.unlock();
        const MediaTime time = output->itemTimeForHostTime(hostTime());
        if (!output->hasNewPixelBufferForItemTime(time)) return;
        if (auto buffer = output->copyPixelBufferForItemTime(time, nullptr)) {
            taken_.push_back({turn, buffer->presentationTime(), readFrameNumber(*buffer),
                              buffer->width(), buffer->height()});
        }
    }

    std::shared_ptr<QueuePlayer> player_ = QueuePlayer::create();
    std::shared_ptr<PlayerItem> a_;
    std::mutex mutex_;
    std::shared_ptr<PlayerItemVideoOutput> output_ =
        PlayerItemVideoOutput::create(pumpAttributes());
    int outputTurn_ = 0;
    std::vector<TakenFrame> taken_;
    struct TurnGuard {
        std::mutex mutex;  // a turn and the clip start never overlap
        bool closed = false;
    };
    std::shared_ptr<TurnGuard> guard_ = std::make_shared<TurnGuard>();
    std::atomic<int> turns_{0};
    std::atomic<bool> objectWasCurrent_{true};
};

}  // namespace cliploop::testing
