#include "ui/ScaledPicture.h"

#include <QPainter>
#include <algorithm>

namespace cliploop {

ScaledPictureCache& ScaledPictureCache::shared() {
    static ScaledPictureCache* cache = new ScaledPictureCache;  // lives as long as the views
    return *cache;
}

void ScaledPictureCache::showAt(QObject* view, QSize size) {
    if (!view) return;
    std::erase_if(viewSizes_, [](const ViewSize& known) { return known.view.isNull(); });
    for (ViewSize& known : viewSizes_) {
        if (known.view == view) {
            known.size = size;
            return;
        }
    }
    viewSizes_.push_back({view, size});
}

int ScaledPictureCache::viewsAt(QSize size) const {
    return int(std::count_if(viewSizes_.begin(), viewSizes_.end(), [&](const ViewSize& known) {
        return !known.view.isNull() && known.size == size;
    }));
}

QImage ScaledPictureCache::picture(const PixelBufferRef& frame, QSize size) {
    if (!frame || size.isEmpty() || size.width() > kMaxSide || size.height() > kMaxSide ||
        qint64(size.width()) * size.height() > kMaxPixels)
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
    if (entry.image.isNull()) {
        entries_.erase(entries_.begin());
        return {};
    }
    // BGRA bytes are Format_RGB32 on a little-endian machine.
    const QImage surface(frame->baseAddress(), frame->width(), frame->height(),
                         frame->bytesPerRow(), QImage::Format_RGB32);
    QPainter painter(&entry.image);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.drawImage(QRect(QPoint(0, 0), size), surface);
    painter.end();
    entry.frame = frame;
    ++scalesMade_;
    return entry.image;
}

}  // namespace cliploop
