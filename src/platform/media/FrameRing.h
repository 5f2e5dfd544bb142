#pragma once
// The decoded frames of one item that are waiting to be shown, in
// presentation order, at most `capacity` of them. A plain container; its
// owner (ItemState) guards it.
#include <cstddef>
#include <cstdint>
#include <deque>

#include "media/MediaEngine.h"

namespace cliploop {

struct DecodedFrame {
    PixelBufferRef buffer;
    MediaTime time;      // item time of the frame's start, exact
    double start = 0;    // the same in seconds
    double end = 0;      // when the frame's display ends, as far as known
    int64_t serial = 0;  // increases with every frame the item decodes
    bool delivered = false;
};

class FrameRing {
  public:
    void setCapacity(size_t capacity) { capacity_ = capacity; }
    size_t capacity() const { return capacity_; }
    size_t size() const { return frames_.size(); }
    bool empty() const { return frames_.empty(); }
    bool full() const { return frames_.size() >= capacity_; }
    void push(DecodedFrame frame) { frames_.push_back(std::move(frame)); }
    void clear() { frames_.clear(); }
    const DecodedFrame& front() const { return frames_.front(); }
    const DecodedFrame& back() const { return frames_.back(); }
    DecodedFrame& back() { return frames_.back(); }
    const DecodedFrame& at(size_t i) const { return frames_[i]; }
    DecodedFrame takeFront() {
        DecodedFrame f = std::move(frames_.front());
        frames_.pop_front();
        return f;
    }

    // The newest frame that starts at or before `time`, or nullptr. Frames
    // before it can never be shown again (item time only moves forward while
    // the ring is filled), so they are dropped; `dropped` counts those no
    // one took.
    DecodedFrame* newestAtOrBefore(MediaTime time, size_t* droppedUnseen);

  private:
    size_t capacity_ = 1;
    std::deque<DecodedFrame> frames_;
};

}  // namespace cliploop
