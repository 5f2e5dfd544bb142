#pragma once
// The preview pane: a video view that takes a single dropped file and posts
// its path as "DragAndDropNotification" on the default notification centre.
//
// Promises:
// - Every drag is accepted, whatever it carries, as a copy or else a link,
//   never as a move, whatever action the source proposes; a drag that
//   offers only a move is refused.
// - A drop of exactly one local file posts the notification synchronously,
//   with the file's path (a std::string of the exact bytes, which need not be
//   UTF-8) as its object and this view as its sender; observers run before
//   the drop returns. Any other drop posts nothing and is refused.
//
// Threads: main thread only.
#include <QMenu>  // VideoView.h holds a QPointer<QMenu>, which needs the full type
#include <QWidget>
#include <string>

#include "ui/VideoView.h"

class QMimeData;

namespace cliploop {

class PlayerView : public VideoView {
    Q_OBJECT
  public:
    explicit PlayerView(QWidget* parent = nullptr);
    ~PlayerView() override;

    const std::string notificationDragAndDrop = "DragAndDropNotification";

    // Posts the notification for a drop of exactly one local file; true when
    // it did.
    bool performDragOperation(const QMimeData* data);

  protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};

}  // namespace cliploop
