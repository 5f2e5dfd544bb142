#pragma once
// Writes small test clips with libavformat/libavcodec. Every frame shows its
// number as eight black or white columns in its upper half (most significant
// bit first), which survives lossy coding and reads back from BGRA.
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "media/MediaEngine.h"

namespace cliploop::testing {

enum class Pattern {
    FrameNumber,  // the number columns (needs a width of 16 or more)
    Quadrant,     // the top-left quarter white, the rest black
};

struct ClipRecipe {
    int width = 64;
    int height = 64;
    int frames = 10;
    int fps = 30;
    std::string codec = "libx264";  // "": no video; "png"/"mjpeg" to a .png/.jpg: a still image
    AVPixelFormat pixelFormat = AV_PIX_FMT_YUV420P;
    bool faststart = false;           // MP4/MOV index ahead of the data
    int displayRotation = 0;          // clockwise turn a player applies to show it upright
    std::vector<int64_t> ticks = {};  // presentation times in 1/90000 s (variable rate), or empty
    bool withAudio = false;           // a silent AAC track as long as the frames
    Pattern pattern = Pattern::FrameNumber;
};

// A path in a folder of the test program's own, removed when the program ends.
std::string testPath(const std::string& name);
// Writes `recipe` to testPath(name) (its extension picks the container) unless an
// earlier call did, and returns that path. A clip that cannot be written fails
// the calling test.
std::string clip(const std::string& name, const ClipRecipe& recipe);

// The number a FrameNumber pattern frame shows.
int readFrameNumber(const PixelBuffer& frame);
bool isLight(const PixelBuffer& frame, int x, int y);

}  // namespace cliploop::testing
