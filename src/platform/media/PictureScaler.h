#pragma once
// Scales opaque BGRA pictures to the size they are shown at, with libswscale's
// SIMD filters: an area filter where the picture shrinks (every source pixel
// counts, so fine detail does not alias), bicubic where it grows.
//
// libswscale reads packed RGB through a conversion to YUV and back, which does
// not give a colour back exactly. So the picture is split into its three
// colour planes, the planes are filtered as the planes of a 4:4:4 picture (no
// colour conversion, the same filter on each), and packed again, opaque.
//
// Memory is bounded: at most kMaxContexts filter contexts, one per (source
// size, target size) so that pictures of a few sizes do not rebuild them at
// every frame, and one set of plane buffers as large as the largest picture
// scaled; sizes above kMaxSide or kMaxPixels are refused.
//
// Threads: one thread at a time per scaler.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace cliploop {

// Pixels read: `height` rows of `width` BGRA pixels, `bytesPerRow` apart.
struct PictureIn {
    const uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int bytesPerRow = 0;
};

// Pixels written, laid out likewise.
struct PictureOut {
    uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int bytesPerRow = 0;
};

class PictureScaler {
  public:
    static constexpr int kMaxSide = 16384;
    static constexpr int64_t kMaxPixels = int64_t(1) << 26;  // 8192 x 8192
    static constexpr size_t kMaxContexts = 4;

    PictureScaler();
    ~PictureScaler();
    PictureScaler(const PictureScaler&) = delete;
    PictureScaler& operator=(const PictureScaler&) = delete;

    // Fills `target` with `source` scaled to the target's size, alpha opaque.
    // False, with `target` untouched, when either picture is empty, too
    // large, has rows shorter than its width, or cannot be filtered.
    bool scale(const PictureIn& source, const PictureOut& target);

    // Filter contexts kept now (tests).
    size_t contextCount() const { return contexts_.size(); }

  private:
    struct Context;
    struct Planes;
    Context* contextFor(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight);

    std::vector<std::unique_ptr<Context>> contexts_;  // most recently used first
    std::unique_ptr<Planes> sourcePlanes_;
    std::unique_ptr<Planes> targetPlanes_;
};

}  // namespace cliploop
