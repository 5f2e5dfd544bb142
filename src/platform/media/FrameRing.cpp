#include "media/FrameRing.h"

namespace cliploop {

void FrameRing::changed() {
    ++changes_;
    changedCondition_.notify_all();
}

bool FrameRing::push(DecodedFrame frame) {
    if (full()) return false;
    frames_.push_back(std::move(frame));
    changed();
    return true;
}

DecodedFrame FrameRing::takeFront() {
    DecodedFrame frame = std::move(frames_.front());
    frames_.pop_front();
    changed();
    return frame;
}

void FrameRing::clear() {
    frames_.clear();
    changed();
}

DecodedFrame* FrameRing::newestAtOrBefore(MediaTime time, size_t* droppedUnseen) {
    size_t newest = frames_.size();
    for (size_t i = 0; i < frames_.size() && !(time < frames_[i].time); ++i) newest = i;
    if (newest == frames_.size()) return nullptr;
    for (size_t i = 0; i < newest; ++i) {
        if (!frames_.front().delivered) ++*droppedUnseen;
        frames_.pop_front();
    }
    if (newest > 0) changed();
    return &frames_.front();
}

bool FrameRing::waitForChange(std::unique_lock<std::mutex>& lock,
                              std::optional<Deadline> deadline) {
    const uint64_t seen = changes_;
    const auto moved = [&] { return changes_ != seen; };
    if (!deadline) {
        changedCondition_.wait(lock, moved);
        return true;
    }
    return changedCondition_.wait_until(lock, *deadline, moved);
}

}  // namespace cliploop
