#pragma once
// How libswscale wants a decoded frame's format and colours described: the
// same for every conversion the engine makes.
extern "C" {
#include <libavutil/pixfmt.h>
}

namespace cliploop {

// The deprecated full-range "J" formats carry their range in the format;
// swscale wants the plain format plus a range flag (set in `*fullRange`).
AVPixelFormat plainFormat(AVPixelFormat format, bool* fullRange);
// swscale's coefficient table for a stream's colour space.
int swsColorspace(AVColorSpace space);

}  // namespace cliploop
