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

struct ClipSpec {
    int width = 64;
    int height = 64;
    int frames = 10;
    int fps = 30;
    std::string codec = "libx264";
    AVPixelFormat pixelFormat = AV_PIX_FMT_YUV420P;
    bool faststart = false;      // MP4/MOV index ahead of the data
    int displayRotation = 0;     // clockwise turn a player applies to show it upright
    std::vector<int64_t> ticks;  // presentation times in 1/90000 s (variable rate), or empty
    bool withAudio = false;      // a silent AAC track too
    Pattern pattern = Pattern::FrameNumber;
};

// Writes `path` (its extension picks the container); returns "" on success,
// else a description of what failed.
std::string writeClip(const std::string& path, const ClipSpec& spec);
// A silent sound file and nothing else.
std::string writeAudioOnly(const std::string& path);
// One picture as a PNG ("png") or JPEG ("mjpeg") file, showing `number`.
std::string writeStillImage(const std::string& path, const std::string& codec, int width,
                            int height, int number);

// The number a FrameNumber pattern frame shows.
int readFrameNumber(const PixelBuffer& frame);
// Whether the pixel at (x, y) is light.
bool isLight(const PixelBuffer& frame, int x, int y);

// A fresh folder under the temporary directory, removed with its contents
// when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace cliploop::testing
