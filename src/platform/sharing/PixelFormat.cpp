#include "sharing/FrameSharing.h"

namespace cliploop {

std::shared_ptr<PixelFormat> PixelFormat::create(const std::vector<uint32_t>& attributes) {
    auto format = std::make_shared<PixelFormat>();
    size_t i = 0;
    for (;;) {
        if (i >= attributes.size()) return nullptr;  // the list must end with 0
        const uint32_t attribute = attributes[i++];
        if (attribute == 0) return format;
        switch (attribute) {
            case gl::kPixelFormatDoubleBuffer:
                format->doubleBuffer_ = true;
                break;
            case gl::kPixelFormatColorSize:
                if (i >= attributes.size()) return nullptr;
                format->colorSize_ = static_cast<int>(attributes[i++]);
                break;
            default:
                return nullptr;
        }
    }
}

}  // namespace cliploop
