#include "ui/ScaledPicture.h"

#include <algorithm>

namespace cliploop {

ScaledPictureCache& ScaledPictureCache::shared() {
    static ScaledPictureCache* cache = new ScaledPictureCache;  // lives as long as the views
    return *cache;
}

QImage ScaledPictureCache::picture(const PixelBufferRef& frame, QSize size) {
    if (!frame || size.isEmpty() || size.width() > PictureScaler::kMaxSide ||
        size.height() > PictureScaler::kMaxSide ||
        qint64(size.width()) * size.height() > PictureScaler::kMaxPixels)
        return {};
    auto found = std::find_if(entries_.begin(), entries_.end(),
                              [&](const Entry& entry) { return entry.image.size() == size; });
    if (found != entries_.end()) {
        std::rotate(entries_.begin(), found, found + 1);
        Entry& entry = entries_.front();
        if (entry.frame.lock() == frame) return entry.image;
    } else {
        if (entries_.size() >= kMaxSizes) entries_.pop_back();
        entries_.insert(entries_.begin(), Entry{});
    }
    Entry& entry = entries_.front();
    // The last picture of this size is written over when nobody paints it any
    // more, which saves a fresh allocation (and its page faults) per frame.
    if (entry.image.isNull() || !entry.image.isDetached())
        entry.image = QImage(size, QImage::Format_RGB32);
    entry.frame.reset();
    const PictureIn in{frame->baseAddress(), frame->width(), frame->height(), frame->bytesPerRow()};
    const PictureOut out{entry.image.bits(), size.width(), size.height(),
                         int(entry.image.bytesPerLine())};
    if (entry.image.isNull() || !scaler_.scale(in, out)) {
        entries_.erase(entries_.begin());
        return {};
    }
    entry.frame = frame;
    ++scalesMade_;
    return entry.image;
}

}  // namespace cliploop
