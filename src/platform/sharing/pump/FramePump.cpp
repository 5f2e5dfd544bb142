#include "pump/FramePump.h"

#include <cmath>
#include <cstdint>

namespace cliploop {

namespace {

// Truncation toward zero; a size that does not fit is refused (-1) rather
// than wrapped, and the upload then fails harmlessly.
int32_t toInt32(double value) {
    const double truncated = std::trunc(value);
    if (!(truncated > -2147483649.0 && truncated < 2147483648.0)) return -1;
    return static_cast<int32_t>(truncated);
}

// The frame the output has for `hostTime` if the pump has not taken it yet.
PixelBufferRef takeNewFrame(PlayerItemVideoOutput& output, double hostTime) {
    const MediaTime itemTime = output.itemTimeForHostTime(hostTime);
    if (!output.hasNewPixelBufferForItemTime(itemTime)) return nullptr;
    return output.copyPixelBufferForItemTime(itemTime, nullptr);
}

// The frame's surface becomes the texture's storage; the texture keeps the
// surface after the pixel buffer is let go.
void bindFrame(const PixelBuffer& frame, const FrameTarget& target) {
    const std::shared_ptr<Surface>& surface = frame.surface();
    if (!surface) return;
    FrameSize size{double(surface->width()), double(surface->height())};
    if (target.size) *target.size = size;
    if (!target.context) return;
    target.context->makeCurrentContext();
    target.context->bindTexture(gl::kTextureRectangle, target.texture);
    target.context->texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, toInt32(size.width),
                                      toInt32(size.height), gl::kBGRA, gl::kUnsignedInt8888Rev,
                                      surface, 0);
}

}  // namespace

PixelBufferRef FramePump::tick(const FrameTarget& target, double hostTime) {
    // One output for the whole tick, even if a clip start or a loop turn
    // replaces it meanwhile; this reference keeps it alive.
    const std::shared_ptr<PlayerItemVideoOutput> output = slot_.load();
    PixelBufferRef frame = output ? takeNewFrame(*output, hostTime) : nullptr;
    if (frame) {
        bindFrame(*frame, target);
        for (const auto& hook : hooks_) hook(frame, output, hostTime);
    }
    if (!target.size) return frame;
    const FrameSize size = *target.size;
    for (TexturePublisher* publisher : target.publishers) {
        if (publisher)
            publisher->publishFrameTexture(target.texture, gl::kTextureRectangle,
                                           FrameRect{0, 0, size.width, size.height}, size, true);
    }
    return frame;
}

}  // namespace cliploop
