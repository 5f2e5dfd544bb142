#include <algorithm>

#include "media/ItemReaper.h"
#include "media/ItemState.h"
#include "media/MediaEngine.h"

namespace cliploop {

std::shared_ptr<PlayerItem> PlayerItem::create(std::shared_ptr<Asset> asset) {
    return std::shared_ptr<PlayerItem>(new PlayerItem(std::move(asset)));
}

// Opening starts at once on the item's own thread, so that an item queued
// behind the current one has its first frame decoded long before its turn.
PlayerItem::PlayerItem(std::shared_ptr<Asset> asset)
    : asset_(std::move(asset)),
      state_(std::make_shared<ItemState>(asset_ ? asset_->url().path() : "")) {
    state_->start();
}

PlayerItem::~PlayerItem() {
    reapItemState(std::move(state_));
}

void PlayerItem::seekToTime(MediaTime) {
    state_->seekToStart();
}

void PlayerItem::addOutput(std::shared_ptr<PlayerItemVideoOutput> output) {
    if (!output) return;
    std::shared_ptr<PlayerItem> previous;
    {
        std::lock_guard lock(output->mutex_);
        previous = output->item_.lock();
        output->item_ = weak_from_this();
        output->lastTakenSerial_ = -1;
    }
    if (previous && previous.get() != this) previous->detach(*output);
    std::lock_guard lock(mutex_);
    std::erase_if(outputs_, [&](const auto& o) { return o.expired() || o.lock() == output; });
    outputs_.push_back(output);
}

void PlayerItem::detach(const PlayerItemVideoOutput& output) {
    std::lock_guard lock(mutex_);
    std::erase_if(outputs_, [&](const auto& o) {
        const auto held = o.lock();
        return !held || held.get() == &output;
    });
}

void PlayerItem::removeOutput(const std::shared_ptr<PlayerItemVideoOutput>& output) {
    if (!output) return;
    {
        std::lock_guard lock(output->mutex_);
        if (output->item_.lock().get() == this) output->item_.reset();
    }
    detach(*output);
}

std::vector<std::shared_ptr<PlayerItemVideoOutput>> PlayerItem::outputs() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<PlayerItemVideoOutput>> held;
    for (const auto& o : outputs_) {
        if (auto output = o.lock()) held.push_back(std::move(output));
    }
    return held;
}

MediaTime PlayerItem::duration() const {
    return state_->duration();
}

bool PlayerItem::failed() const {
    return state_->failed();
}

std::string PlayerItem::failureReason() const {
    return state_->failureReason();
}

bool PlayerItem::isReady() const {
    return state_->isReady();
}

void PlayerItem::notifyWhenReady(std::function<void()> handler) {
    state_->notifyWhenReady(std::move(handler));
}

std::optional<double> PlayerItem::endHostTime() const {
    return state_->endHostTime();
}

ItemStats PlayerItem::stats() const {
    return state_->stats();
}

PixelBufferRef PlayerItem::copyNextPixelBuffer(std::chrono::milliseconds timeout, bool* ended) {
    return state_->takeNextFrame(timeout, ended);
}

}  // namespace cliploop
