#pragma once
// Frames scaled to the size they are shown at, shared by every view that shows
// them: two views of one size showing one frame scale it once, and a view of
// another size (the output full screen on a large display) gets its own
// picture, still scaled once per frame.
//
// Keyed by the frame's identity (its PixelBuffer) and the size in device
// pixels. Only the newest picture of each size is kept, for at most
// kMaxSizes sizes; the cache holds no frame alive (a surface goes back to its
// pool as soon as the views let go of it). Each picture owns its pixels, so a
// picture being painted outlives any change of frame.
//
// Threads: main thread only.
#include <QImage>
#include <QSize>
#include <memory>
#include <vector>

#include "media/MediaEngine.h"
#include "media/PictureScaler.h"

namespace cliploop {

class ScaledPictureCache {
  public:
    static constexpr size_t kMaxSizes = 4;

    // The one the views share.
    static ScaledPictureCache& shared();

    // `frame` scaled to `size` device pixels: the picture made for this frame
    // and size if there is one, else made now. A null image when `frame` is
    // null or the scaler refuses the size.
    QImage picture(const PixelBufferRef& frame, QSize size);

    // Pictures scaled so far (tests, diagnostics).
    quint64 scalesMade() const { return scalesMade_; }
    size_t sizesKept() const { return entries_.size(); }

  private:
    struct Entry {
        std::weak_ptr<PixelBuffer> frame;
        QImage image;
    };
    std::vector<Entry> entries_;  // most recently used first, one per size
    PictureScaler scaler_;
    quint64 scalesMade_ = 0;
};

}  // namespace cliploop
