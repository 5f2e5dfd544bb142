#include "media/MediaEngine.h"

namespace cliploop {

PixelBuffer::PixelBuffer(std::shared_ptr<Surface> surface, MediaTime presentationTime)
    : surface_(std::move(surface)), time_(presentationTime) {}

}  // namespace cliploop
