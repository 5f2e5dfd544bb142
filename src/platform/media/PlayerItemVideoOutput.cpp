#include "media/ItemState.h"
#include "media/MediaEngine.h"

namespace cliploop {

std::shared_ptr<PlayerItemVideoOutput> PlayerItemVideoOutput::create(
    const PixelBufferAttributes& attributes) {
    return std::shared_ptr<PlayerItemVideoOutput>(new PlayerItemVideoOutput(attributes));
}

PlayerItemVideoOutput::PlayerItemVideoOutput(const PixelBufferAttributes& attributes)
    : attributes_(attributes) {}

MediaTime PlayerItemVideoOutput::itemTimeForHostTime(double hostTime) const {
    std::shared_ptr<PlayerItem> item;
    {
        std::lock_guard lock(mutex_);
        item = item_.lock();
    }
    return item ? ItemAccess::of(*item).itemTime(hostTime) : MediaTime::invalid();
}

bool PlayerItemVideoOutput::hasNewPixelBufferForItemTime(MediaTime itemTime) const {
    std::lock_guard lock(mutex_);
    const auto item = item_.lock();
    if (!item) return false;
    const auto pick = ItemAccess::of(*item).frameAt(itemTime, false);
    return pick.buffer && pick.serial > lastTakenSerial_;
}

PixelBufferRef PlayerItemVideoOutput::copyPixelBufferForItemTime(MediaTime itemTime,
                                                                 MediaTime* itemTimeForDisplay) {
    if (itemTimeForDisplay) *itemTimeForDisplay = MediaTime::invalid();
    std::lock_guard lock(mutex_);
    const auto item = item_.lock();
    if (!item) return nullptr;
    auto pick = ItemAccess::of(*item).frameAt(itemTime, true);
    if (!pick.buffer) return nullptr;
    lastTakenSerial_ = std::max(lastTakenSerial_, pick.serial);
    if (itemTimeForDisplay) *itemTimeForDisplay = pick.buffer->presentationTime();
    return std::move(pick.buffer);
}

}  // namespace cliploop
