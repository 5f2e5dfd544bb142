#include "LoopDriver.h"

#include <any>

#include "ClipGenerator.h"
#include "foundation/HostClock.h"
#include "foundation/NotificationCenter.h"

namespace cliploop::testing {

PixelBufferAttributes pumpAttributes() {
    return {kPixelFormatType32BGRA, true, true};
}

LoopDriver::LoopDriver(const std::string& path, float rate, std::chrono::microseconds readEvery)
    : readEvery_(readEvery) {
    std::lock_guard turning(guard_->mutex);
    player_ = QueuePlayer::create();
    output_ = PlayerItemVideoOutput::create(pumpAttributes());
    const auto asset = Asset::assetWithURL(FileUrl::fromPath(path));
    player_->pause();
    a_ = PlayerItem::create(asset);
    b_ = PlayerItem::create(asset);
    player_->removeAllItems();
    player_->replaceCurrentItemWithPlayerItem(a_);
    player_->insertItem(b_, a_);
    player_->setActionAtItemEnd(ActionAtItemEnd::Advance);
    if (auto current = player_->currentItem()) current->addOutput(output_);
    player_->play();
    player_->setRate(rate);
    // The observer holds the guard, not the driver: a turn under way when the
    // driver stops finishes first, and one that starts later does nothing.
    NotificationCenter::defaultCenter().addObserver(this, kPlayerItemDidPlayToEndTimeNotification,
                                                    nullptr,
                                                    [this, guard = guard_](const Notification& n) {
                                                        std::lock_guard turning(guard->mutex);
                                                        if (!guard->closed) turn(n);
                                                    });
    reader_ = std::thread([this] { read(); });
}

LoopDriver::~LoopDriver() {
    stop();
}

void LoopDriver::stop() {
    NotificationCenter::defaultCenter().removeObserver(this);
    {
        std::lock_guard turning(guard_->mutex);
        guard_->closed = true;
    }
    stopping_ = true;
    if (reader_.joinable()) reader_.join();
}

void LoopDriver::turn(const Notification& notification) {
    const auto object = std::any_cast<std::shared_ptr<PlayerItem>>(&notification.object);
    if (!object || *object != player_->currentItem()) objectWasCurrent_ = false;
    const auto fresh = PlayerItemVideoOutput::create(pumpAttributes());
    {
        std::lock_guard lock(mutex_);
        output_ = fresh;
        outputTurn_ = turns_.load() + 1;
        observerThread_ = std::this_thread::get_id();
    }
    const auto ended = player_->currentItem();
    player_->removeItem(ended);
    ended->seekToTime(MediaTime::zero());
    if (auto current = player_->currentItem()) current->addOutput(fresh);
    player_->insertItem(ended, nullptr);
    ++turns_;
    std::lock_guard lock(mutex_);
    changed_.notify_all();
}

void LoopDriver::read() {
    while (!stopping_) {
        std::shared_ptr<PlayerItemVideoOutput> output;
        int turn;
        {
            std::lock_guard lock(mutex_);
            output = output_;
            turn = outputTurn_;
        }
        const MediaTime time = output->itemTimeForHostTime(hostTime());
        if (output->hasNewPixelBufferForItemTime(time)) {
            if (auto buffer = output->copyPixelBufferForItemTime(time, nullptr)) {
                std::lock_guard lock(mutex_);
                taken_.push_back({turn, buffer->presentationTime(), readFrameNumber(*buffer),
                                  buffer->width(), buffer->height()});
                changed_.notify_all();
            }
        }
        std::this_thread::sleep_for(readEvery_);
    }
}

bool LoopDriver::waitUntil(const std::function<bool()>& done, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(5));
    }
    return true;
}

std::vector<TakenFrame> LoopDriver::taken() const {
    std::lock_guard lock(mutex_);
    return taken_;
}

std::thread::id LoopDriver::observerThread() const {
    std::lock_guard lock(mutex_);
    return observerThread_;
}

}  // namespace cliploop::testing
