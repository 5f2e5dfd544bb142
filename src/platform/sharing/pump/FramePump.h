#pragma once
// The frame pump: each tick hands the newest frame of the playing clip to the
// frame server and the PipeWire node. A tick takes the output from the slot once, asks it for the
// item time of the tick's host time and whether a new pixel buffer is there,
// copies that buffer, makes its surface the storage of the shared texture (no
// pixel is copied), and then, new frame or not, publishes the texture, flipped,
// at the size of the last frame bound.
//
// Threads: ticks run one at a time, on any thread; successive ticks may run on
// different threads if something orders them (the repeating timer does). The
// slot may be replaced at any moment on another thread: a tick works with the
// one output it took. Hooks are added before the first tick.
#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "foundation/AtomicSharedPtr.h"
#include "media/MediaEngine.h"
#include "sharing/FrameSharing.h"

namespace cliploop {

// Where a tick binds and publishes. The pump borrows all of it.
struct FrameTarget {
    GraphicsContext* context = nullptr;  // none: no frame is bound
    uint32_t texture = 0;
    // Where every tick publishes the texture: the frame server and the
    // PipeWire node beside it. Absent ones are skipped.
    std::array<TexturePublisher*, 2> publishers{};
    FrameSize* size = nullptr;  // the last frame's size; written by ticks only
};

class FramePump {
  public:
    using OutputSlot = AtomicSharedPtr<PlayerItemVideoOutput>;
    // Called on the tick's thread for each new frame, after it is bound and
    // before the tick publishes; `output` is the one it came from. May keep
    // the frame only as long as it needs it: the engine's surfaces are few.
    using FrameHook =
        std::function<void(const PixelBufferRef& frame,
                           const std::shared_ptr<PlayerItemVideoOutput>& output, double hostTime)>;

    // The slot must outlive the pump.
    explicit FramePump(const OutputSlot& slot) : slot_(slot) {}

    void addFrameHook(FrameHook hook) { hooks_.push_back(std::move(hook)); }

    // One tick at `hostTime` (seconds of the host clock); returns the new
    // frame, or null when there was none.
    PixelBufferRef tick(const FrameTarget& target, double hostTime);

  private:
    const OutputSlot& slot_;
    std::vector<FrameHook> hooks_;
};

}  // namespace cliploop
