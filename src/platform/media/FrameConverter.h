#pragma once
// Converts decoded frames to upright BGRA straight into a surface's memory
// (libswscale, sliced on all cores). Used by one item's decode thread only.
#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

struct SwsContext;

namespace cliploop {

class Surface;

class FrameConverter {
  public:
    FrameConverter() = default;
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // Clockwise quarter turns applied to every frame: 0, 90, 180 or 270.
    void setRotation(int degrees) { rotation_ = degrees; }
    // The upright size of `frame`: width and height swap for quarter turns.
    int outputWidth(const AVFrame& frame) const;
    int outputHeight(const AVFrame& frame) const;
    // `surface` must have the output size. False when the frame's format
    // cannot be converted.
    bool convert(const AVFrame& frame, Surface& surface);

  private:
    bool prepare(const AVFrame& frame);
    bool scale(const AVFrame& frame, uint8_t* data, int bytesPerRow, size_t byteSize);

    int rotation_ = 0;
    SwsContext* sws_ = nullptr;
    int swsWidth_ = 0, swsHeight_ = 0, swsFormat_ = -1, swsSpace_ = -1, swsRange_ = -1;
    // Upright-in-storage frames go to the surface directly; turned ones pass
    // through this buffer and are rotated into the surface.
    std::vector<uint8_t> turnBuffer_;
};

}  // namespace cliploop
