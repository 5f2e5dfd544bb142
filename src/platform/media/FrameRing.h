#pragma once
// The decoded frames of one item that are waiting to be shown, in
// presentation order: a bounded queue that does its own waiting and waking.
//
// Contract:
// - The ring has no lock of its own: it is guarded by its owner's mutex, and
//   every call is made with that mutex held. The waits take the caller's lock
//   on it and release it while asleep.
// - push() refuses a frame while the ring holds `capacity` of them; nothing
//   ever makes it longer.
// - Every change of the ring (a frame pushed, taken, dropped, or the ring
//   cleared) ends every wait by itself. The owner calls wake() for changes of
//   its own that a waiter must see (a stop, a seek, a clock change).
// - A wait ends only at such a change, a wake() or its deadline, never
//   spuriously, so a waiter re-checks its own conditions after each.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

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
    using Deadline = std::chrono::steady_clock::time_point;

    void setCapacity(size_t capacity) { capacity_ = capacity; }
    size_t capacity() const { return capacity_; }
    size_t size() const { return frames_.size(); }
    bool empty() const { return frames_.empty(); }
    bool full() const { return frames_.size() >= capacity_; }

    // Appends the frame unless the ring is full; false (the frame dropped)
    // when it is.
    [[nodiscard]] bool push(DecodedFrame frame);
    DecodedFrame takeFront();
    void clear();
    const DecodedFrame& front() const { return frames_.front(); }
    const DecodedFrame& back() const { return frames_.back(); }
    DecodedFrame& back() { return frames_.back(); }
    const DecodedFrame& at(size_t i) const { return frames_[i]; }

    // The newest frame that starts at or before `time`, or nullptr. Frames
    // before it can never be shown again (item time only moves forward while
    // the ring is filled), so they are dropped; `droppedUnseen` counts those
    // no one took.
    DecodedFrame* newestAtOrBefore(MediaTime time, size_t* droppedUnseen);

    // Sleeps until the ring changes or wake() is called; with a deadline, at
    // most until then. False when the deadline passed first.
    bool waitForChange(std::unique_lock<std::mutex>& lock,
                       std::optional<Deadline> deadline = std::nullopt);
    void wake() { changed(); }

  private:
    void changed();

    size_t capacity_ = 1;
    std::deque<DecodedFrame> frames_;
    uint64_t changes_ = 0;
    std::condition_variable changedCondition_;
};

}  // namespace cliploop
