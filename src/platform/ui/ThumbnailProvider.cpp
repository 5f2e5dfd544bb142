#include "ui/ThumbnailProvider.h"

#include <QApplication>
#include <QMetaObject>
#include <QStyle>
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "media/ThumbnailGenerator.h"

namespace cliploop {

namespace {

// About a thousand small pictures: a few screens of rows, a few megabytes.
constexpr qsizetype kCacheBytes = qsizetype{24} * 1024 * 1024;
// What a file that cannot play costs in the cache: its path, roughly.
constexpr qsizetype kUnplayableBytes = 512;
// Requests kept: more than any view shows at once.
constexpr size_t kMaxQueued = 256;

}  // namespace

// Between the main thread and the workers; every field under `mutex`.
struct ThumbnailProvider::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<QByteArray> queue;  // most wanted first
    std::vector<QByteArray> inFlight;
    uint64_t generation = 0;  // raised by a cancellation
    bool stopping = false;
};

ThumbnailProvider::ThumbnailProvider(QSize size, int workers, QObject* parent)
    : QObject(parent),
      size_(size),
      unplayableIcon_(QApplication::style()->standardIcon(QStyle::SP_FileIcon)),
      made_(kCacheBytes),
      shared_(std::make_shared<Shared>()) {
    for (int i = 0; i < std::max(1, workers); ++i)
        workers_.emplace_back([this, shared = shared_] { work(shared); });
}

ThumbnailProvider::~ThumbnailProvider() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopping = true;
        shared_->queue.clear();
    }
    shared_->wake.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

QVariant ThumbnailProvider::picture(const QByteArray& path) {
    if (const Made* made = made_.object(path)) {
        if (made->image.isNull()) return unplayableIcon_;
        return made->image;
    }
    {
        std::lock_guard lock(shared_->mutex);
        if (std::find(shared_->inFlight.begin(), shared_->inFlight.end(), path) !=
            shared_->inFlight.end())
            return {};
        auto queued = std::find(shared_->queue.begin(), shared_->queue.end(), path);
        if (queued != shared_->queue.end()) shared_->queue.erase(queued);
        shared_->queue.push_front(path);
        if (shared_->queue.size() > kMaxQueued) shared_->queue.pop_back();
    }
    shared_->wake.notify_one();
    return {};
}

void ThumbnailProvider::cancelPending() {
    std::lock_guard lock(shared_->mutex);
    shared_->queue.clear();
    ++shared_->generation;
}

int ThumbnailProvider::pendingCount() const {
    std::lock_guard lock(shared_->mutex);
    return static_cast<int>(shared_->queue.size() + shared_->inFlight.size());
}

// Worker thread.
void ThumbnailProvider::work(std::shared_ptr<Shared> shared) {
    ThumbnailGenerator generator(size_.width(), size_.height());
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->wake.wait(lock, [&] { return shared->stopping || !shared->queue.empty(); });
        if (shared->stopping) return;
        const QByteArray path = shared->queue.front();
        shared->queue.pop_front();
        shared->inFlight.push_back(path);
        const uint64_t generation = shared->generation;
        lock.unlock();

        // Asked often while the file is read; the lock is only ever held for
        // a moment.
        auto cancelled = [&] {
            std::lock_guard guard(shared->mutex);
            return shared->stopping || shared->generation != generation;
        };
        Thumbnail made;
        std::string error;
        const bool playable = generator.generate(path.toStdString(), &made, &error, cancelled);
        QImage image;
        if (playable) {
            image = QImage(made.width, made.height, QImage::Format_RGB32);
            // BGRA bytes are RGB32 on a little-endian machine.
            for (int y = 0; y < made.height; ++y)
                std::copy_n(&made.bgra[static_cast<size_t>(y) * made.width * 4], made.width * 4,
                            image.scanLine(y));
        }

        lock.lock();
        auto& inFlight = shared->inFlight;
        inFlight.erase(std::find(inFlight.begin(), inFlight.end(), path));
        // A cancelled picture is not a verdict on the file.
        if (shared->stopping || shared->generation != generation) continue;
        // The provider outlives its workers: the destructor joins them first,
        // and a delivery queued before then runs only while it exists.
        QMetaObject::invokeMethod(
            this, [this, path, image, playable] { deliver(path, image, playable); },
            Qt::QueuedConnection);
    }
}

void ThumbnailProvider::deliver(const QByteArray& path, QImage image, bool playable) {
    const qsizetype cost = playable ? image.sizeInBytes() : kUnplayableBytes;
    made_.insert(path, new Made{playable ? std::move(image) : QImage()},
                 std::max<qsizetype>(1, cost));
    emit pictureReady(path);
}

}  // namespace cliploop
