#include "media/ItemState.h"
#include "media/MediaEngine.h"

namespace cliploop {

PictureSource::PictureSource(std::shared_ptr<QueuePlayer> player) : player_(std::move(player)) {}

PixelBufferRef PictureSource::frameForHostTime(double hostTime) {
    // Asks whichever item is current now, so the picture follows the player
    // across loop turns and clip starts without being told.
    const auto item = player_ ? player_->currentItem() : nullptr;
    ItemState::Pick pick;
    if (item) {
        ItemState& state = ItemAccess::of(*item);
        pick = state.frameAt(state.itemTime(hostTime), true);
    }
    std::lock_guard lock(mutex_);
    if (pick.buffer) last_ = std::move(pick.buffer);
    return last_;
}

}  // namespace cliploop
