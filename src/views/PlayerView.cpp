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

namespace {

// A drop only reads the file, so it is answered as a copy (or, failing that,
// a link): answering a move would let the source, a file manager with Shift
// held for instance, delete the user's original. A source that offers
// nothing but a move is refused.
bool answerWithoutMoving(QDropEvent* event) {
    const Qt::DropActions offered = event->possibleActions();
    if (offered & Qt::CopyAction) {
        event->setDropAction(Qt::CopyAction);
    } else if (offered & Qt::LinkAction) {
        event->setDropAction(Qt::LinkAction);
    } else {
        event->ignore();
        return false;
    }
    event->accept();
    return true;
}

}  // namespace

void PlayerView::dragEnterEvent(QDragEnterEvent* event) {
    answerWithoutMoving(event);
}

void PlayerView::dragMoveEvent(QDragMoveEvent* event) {
    answerWithoutMoving(event);
}

void PlayerView::dropEvent(QDropEvent* event) {
    if (!(event->possibleActions() & (Qt::CopyAction | Qt::LinkAction)) ||
        !performDragOperation(event->mimeData())) {
        event->ignore();
        return;
    }
    answerWithoutMoving(event);
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
