#include "media/FrameRing.h"

namespace cliploop {

DecodedFrame* FrameRing::newestAtOrBefore(MediaTime time, size_t* droppedUnseen) {
    size_t newest = frames_.size();
    for (size_t i = 0; i < frames_.size() && !(time < frames_[i].time); ++i) newest = i;
    if (newest == frames_.size()) return nullptr;
    for (size_t i = 0; i < newest; ++i) {
        if (!frames_.front().delivered) ++*droppedUnseen;
        frames_.pop_front();
    }
    return &frames_.front();
}

}  // namespace cliploop
