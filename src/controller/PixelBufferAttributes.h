#pragma once
// The one attribute set every video output is made with: BGRA pixels in
// shareable surfaces that a texture can take as its storage.
#include "media/MediaEngine.h"

namespace cliploop {

inline PixelBufferAttributes pixelBufferAttributes() {
    PixelBufferAttributes attributes;
    attributes.pixelFormatType = kPixelFormatType32BGRA;
    attributes.surfaceProperties = true;
    attributes.graphicsCompatibility = true;
    return attributes;
}

}  // namespace cliploop
