// Drops on the preview: exactly one local file posts its exact path, and no drop is ever a move.
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

#include "../controller/support/AppFixture.h"
#include "views/PlayerView.h"

namespace cliploop {
namespace {

TEST(PlayerView, DragsAreTakenAsCopiesNeverMovesAndOnlyOneLocalFileIsPlayedWithItsExactPath) {
    apptest::application();
    PlayerView view;
    std::vector<Notification> posted;
    NotificationCenter::defaultCenter().addObserver(
        &view, "DragAndDropNotification", nullptr,
        [&](const Notification& notification) { posted.push_back(notification); });

    const QList<QUrl> one{QUrl::fromEncoded("file:///clips/gig%20%E9%FF.mov")};
    const auto copyOrLink = Qt::CopyAction | Qt::LinkAction;
    const auto any = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    const struct {
        QList<QUrl> urls;
        QString text;
        Qt::DropActions offered;
        Qt::KeyboardModifiers keys;  // Shift proposes a move
        Qt::DropAction answer;       // IgnoreAction: refused
    } drops[] = {
        {one, {}, copyOrLink, Qt::NoModifier, Qt::CopyAction},
        {one, {}, any, Qt::ShiftModifier, Qt::CopyAction},
        {one, {}, Qt::MoveAction | Qt::LinkAction, Qt::ShiftModifier, Qt::LinkAction},
        {one, {}, Qt::MoveAction, Qt::NoModifier, Qt::IgnoreAction},
        {{QUrl::fromLocalFile("/clips/a.mov"), QUrl::fromLocalFile("/clips/b.mov")},
         {},
         copyOrLink,
         Qt::NoModifier,
         Qt::IgnoreAction},
        {{}, "/clips/a.mov", copyOrLink, Qt::NoModifier, Qt::IgnoreAction},
        {{QUrl("https://example.org/a.mov")}, {}, copyOrLink, Qt::NoModifier, Qt::IgnoreAction},
        {{}, {}, copyOrLink, Qt::NoModifier, Qt::IgnoreAction},
    };
    size_t taken = 0;
    for (const auto& [urls, text, offered, keys, answer] : drops) {
        SCOPED_TRACE(text.toStdString() + " " + QUrl::toStringList(urls).join(' ').toStdString() +
                     " offered " + std::to_string(offered.toInt()));
        QMimeData data;
        text.isEmpty() ? data.setUrls(urls) : data.setText(text);
        QDragEnterEvent enter({10, 10}, offered, &data, Qt::LeftButton, keys);
        if (keys == Qt::ShiftModifier) {
            EXPECT_EQ(enter.proposedAction(), Qt::MoveAction);
        }
        QCoreApplication::sendEvent(&view, &enter);
        EXPECT_EQ(enter.isAccepted(), offered != Qt::MoveAction);
        if (enter.isAccepted()) {
            EXPECT_NE(enter.dropAction(), Qt::MoveAction);
        }
        QDropEvent dropped(QPointF(10, 10), offered, &data, Qt::LeftButton, keys);
        QCoreApplication::sendEvent(&view, &dropped);
        EXPECT_EQ(dropped.isAccepted(), answer != Qt::IgnoreAction);
        if (answer != Qt::IgnoreAction) {
            EXPECT_EQ(dropped.dropAction(), answer);
        }
        taken += answer != Qt::IgnoreAction;
        EXPECT_EQ(posted.size(), taken);
    }
    NotificationCenter::defaultCenter().removeObserver(&view);
    ASSERT_EQ(posted.size(), 3u);
    for (const Notification& notification : posted) {
        const auto* path = std::any_cast<std::string>(&notification.object);
        ASSERT_NE(path, nullptr);
        EXPECT_EQ(*path, "/clips/gig \xE9\xFF.mov");  // not UTF-8: the bytes as they are
    }
}

}  // namespace
}  // namespace cliploop
