#include <cmath>

#include "controller/ViewController.h"
#include "foundation/HostClock.h"

namespace cliploop {

namespace {

// Truncation toward zero; a size that does not fit is refused (-1) rather
// than wrapped, and the upload then fails harmlessly.
int32_t toInt32(double value) {
    const double truncated = std::trunc(value);
    if (!(truncated > -2147483649.0 && truncated < 2147483648.0)) return -1;
    return static_cast<int32_t>(truncated);
}

}  // namespace

void ViewController::videoCapturing() {
    const double hostNow = hostTime();  // 1
    // One output for steps 2 to 4, even if a clip start or a loop turn
    // replaces it meanwhile; this reference keeps it alive.
    const std::shared_ptr<PlayerItemVideoOutput> output = videoOutput.load();
    if (output) {
        const MediaTime itemTime = output->itemTimeForHostTime(hostNow);  // 2
        if (output->hasNewPixelBufferForItemTime(itemTime)) {             // 3
            PixelBufferRef pixelBuffer =
                output->copyPixelBufferForItemTime(itemTime, nullptr);  // 4
            if (pixelBuffer) {
                std::shared_ptr<Surface> surface = pixelBuffer->surface();  // 5
                if (surface) {
                    size = {double(surface->width()), double(surface->height())};  // 6
                    if (context) {
                        context->makeCurrentContext();  // 7
                        context->bindTexture(gl::kTextureRectangle, texture);
                        context->texImageSurface2D(gl::kTextureRectangle, gl::kRGBA,  // 8
                                                   toInt32(size.width), toInt32(size.height),
                                                   gl::kBGRA, gl::kUnsignedInt8888Rev,
                                                   std::move(surface), 0);
                    }
                }
            }
            // The pixel buffer is let go here; the texture keeps the surface.
        }
    }
    if (syphonServer) {  // 9
        syphonServer->publishFrameTexture(texture, gl::kTextureRectangle,
                                          FrameRect{0, 0, size.width, size.height}, size, true);
    }
    if (pipeWireSource) {
        pipeWireSource->publishFrameTexture(texture, gl::kTextureRectangle,
                                            FrameRect{0, 0, size.width, size.height}, size, true);
    }
}

}  // namespace cliploop
