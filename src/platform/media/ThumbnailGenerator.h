#pragma once
// Makes a small, upright picture of a clip: the frame about one second in, or
// the first frame of a clip shorter than that, scaled straight to BGRA to fit
// a given size (never enlarged), keeping its aspect ratio.
//
// Promises:
// - Anything that is not a playable video (a text file, a folder, a pipe, a
//   broken or cut file) fails with one line for a person, without a crash;
//   no file takes longer than a few seconds, and a cancellation is seen
//   within about one frame's decoding.
// - Nothing is written anywhere; the picture lives in memory.
//
// Threads: one generator per thread; generate() blocks on the file, so it is
// for worker threads only.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cliploop {

struct Thumbnail {
    int width = 0;
    int height = 0;
    // width * 4 bytes a row, top row first: blue, green, red, alpha (opaque).
    std::vector<uint8_t> bgra;
};

class ThumbnailGenerator {
  public:
    ThumbnailGenerator(int maxWidth, int maxHeight);
    ~ThumbnailGenerator();
    ThumbnailGenerator(const ThumbnailGenerator&) = delete;
    ThumbnailGenerator& operator=(const ThumbnailGenerator&) = delete;

    // The picture of the file at `path` (exact bytes). False with `error`
    // filled when there is none, also when `cancelled` (asked from this
    // thread, often) turns true.
    bool generate(const std::string& path, Thumbnail* picture, std::string* error,
                  const std::function<bool()>& cancelled = {});

  private:
    struct Scaler;
    int maxWidth_;
    int maxHeight_;
    std::unique_ptr<Scaler> scaler_;
};

}  // namespace cliploop
