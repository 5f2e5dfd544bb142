#pragma once
// Small pictures of files for a list, made in the background.
//
// Promises:
// - picture() answers at once from memory: the picture, the plain icon of a
//   file that cannot play, or nothing yet. Nothing yet also asks for it,
//   ahead of everything asked before: a view asks for the rows it paints, so
//   the rows in view come first. Only the most recent requests are kept
//   (older ones, scrolled away, are dropped) and asked again when painted.
// - A few pictures are made at a time, on worker threads of the provider's
//   own, never on the main thread; pictureReady() follows each on the main
//   thread.
// - cancelPending() drops every request and stops the pictures being made
//   (a new list replaces the old one).
// - Memory only, bounded: the least recently made pictures give way.
// - Destruction stops the workers; it waits at most for one file each, and
//   each file's time is bounded.
//
// Threads: main thread only; the workers are internal.
#include <QByteArray>
#include <QCache>
#include <QIcon>
#include <QImage>
#include <QObject>
#include <QSize>
#include <memory>
#include <thread>
#include <vector>

namespace cliploop {

class ThumbnailProvider : public QObject {
    Q_OBJECT
  public:
    // Pictures fit within `size`; `workers` make them at once.
    explicit ThumbnailProvider(QSize size, int workers = 2, QObject* parent = nullptr);
    ~ThumbnailProvider() override;

    QSize size() const { return size_; }

    // What to show for the file at `path` (exact bytes): a QImage, the icon
    // (QIcon) of a file that cannot play, or an invalid QVariant while it is
    // being made.
    QVariant picture(const QByteArray& path);
    void cancelPending();

    // Requests waiting or being served (tests).
    int pendingCount() const;

  signals:
    void pictureReady(const QByteArray& path);

  private:
    struct Shared;
    struct Made {
        QImage image;  // null: cannot play
    };
    void work(std::shared_ptr<Shared> shared);
    void deliver(const QByteArray& path, QImage image, bool playable);

    QSize size_;
    QIcon unplayableIcon_;
    QCache<QByteArray, Made> made_;
    std::shared_ptr<Shared> shared_;
    std::vector<std::thread> workers_;
};

}  // namespace cliploop
