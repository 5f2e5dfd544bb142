#pragma once
// Frames scaled to the size they are shown at, shared by every view that shows
// them: two views of one size showing one frame scale it once, and a view of
// another size (the output full screen on a large display) gets its own
// picture, still scaled once per frame. The views then only copy pixels. A
// size that one view alone shows is not worth a picture of its own (it would
// cost a copy more): that view scales as it paints, once per new frame too.
//
// The scaling is the raster painter's smooth (bilinear, SIMD) transform, the
// same the views used to apply at every paint: on these machines it costs
// well under half of libswscale's area or bicubic filters for a 1080p frame
// (which also need the colour planes split apart to keep colours exact).
//
// Keyed by the frame's identity (its PixelBuffer) and the size in device
// pixels. Only the newest picture of each size is kept, for at most kMaxSizes
// sizes, each at most kMaxSide by kMaxSide and kMaxPixels; the cache holds no
// frame alive (a surface goes back to its pool as soon as the views let go of
// it). Each picture owns its pixels, so a picture being painted outlives any
// change of frame.
//
// Threads: main thread only.
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <memory>
#include <vector>

#include "media/MediaEngine.h"

namespace cliploop {

class ScaledPictureCache {
  public:
    static constexpr size_t kMaxSizes = 4;
    static constexpr int kMaxSide = 16384;
    static constexpr qint64 kMaxPixels = qint64(1) << 26;  // 8192 x 8192

    // The one the views share.
    static ScaledPictureCache& shared();

    // `frame` scaled to `size` device pixels: the picture made for this frame
    // and size if there is one, else made now. A null image when `frame` is
    // null or the size is empty or beyond the limits.
    QImage picture(const PixelBufferRef& frame, QSize size);

    // `view` shows its pictures at `size` device pixels from now on (an empty
    // size: none). A view that is destroyed is forgotten.
    void showAt(QObject* view, QSize size);
    // How many views show their pictures at `size`.
    int viewsAt(QSize size) const;

    // Pictures scaled so far (tests, diagnostics).
    quint64 scalesMade() const { return scalesMade_; }
    size_t sizesKept() const { return entries_.size(); }

  private:
    struct Entry {
        std::weak_ptr<PixelBuffer> frame;
        QImage image;
    };
    std::vector<Entry> entries_;  // most recently used first, one per size
    struct ViewSize {
        QPointer<QObject> view;
        QSize size;
    };
    std::vector<ViewSize> viewSizes_;
    quint64 scalesMade_ = 0;
};

}  // namespace cliploop
