#include "views/PlayerView.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

#include "foundation/FileUrl.h"
#include "foundation/NotificationCenter.h"

namespace cliploop {

PlayerView::PlayerView(QWidget* parent) : VideoView(parent) {
    setAcceptDrops(true);
}

PlayerView::~PlayerView() = default;

void PlayerView::dragEnterEvent(QDragEnterEvent* event) {
    event->acceptProposedAction();
}

void PlayerView::dragMoveEvent(QDragMoveEvent* event) {
    event->acceptProposedAction();
}

void PlayerView::dropEvent(QDropEvent* event) {
    if (performDragOperation(event->mimeData())) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

bool PlayerView::performDragOperation(const QMimeData* data) {
    if (!data || !data->hasUrls()) return false;
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) return false;
    // The encoded form keeps a name's bytes as they are; toLocalFile() would
    // decode them as UTF-8 and lose those that are not.
    const FileUrl file = FileUrl::fromString(urls.front().toEncoded().toStdString());
    if (file.isEmpty()) return false;
    NotificationCenter::defaultCenter().post(notificationDragAndDrop, this, file.path());
    return true;
}

}  // namespace cliploop
