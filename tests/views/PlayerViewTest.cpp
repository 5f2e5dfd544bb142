// Drops on the preview: exactly one local file posts its exact path, and no drop is ever a move.
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <tuple>

#include "../controller/support/AppFixture.h"
#include "views/PlayerView.h"

namespace cliploop {
namespace {

TEST(PlayerView, DragsAreTakenAsCopiesNeverMovesAndOnlyOneLocalFileIsPlayedWithItsExactPath) {
    apptest::application();
    PlayerView view;
    std::vector<std::string> posted;
    NotificationCenter::defaultCenter().addObserver(
        &view, "DragAndDropNotification", nullptr, [&](const Notification& notification) {
            const auto* path = std::any_cast<std::string>(&notification.object);
            posted.push_back(path ? *path : "not a path");
        });

    const QList<QUrl> one{QUrl::fromEncoded("file:///clips/gig%20%E9%FF.mov")},
        two{QUrl::fromLocalFile("/clips/a.mov"), QUrl::fromLocalFile("/clips/b.mov")};
    const auto copyOrLink = Qt::CopyAction | Qt::LinkAction;
    // Offered, then answered (IgnoreAction: refused); text in place of the URLs when given.
    const std::tuple<QList<QUrl>, Qt::DropActions, Qt::DropAction, QString> drops[] = {
        {one, copyOrLink, Qt::CopyAction, {}},
        {one, copyOrLink | Qt::MoveAction, Qt::CopyAction, {}},
        {one, Qt::MoveAction | Qt::LinkAction, Qt::LinkAction, {}},
        {one, Qt::MoveAction, Qt::IgnoreAction, {}},
        {two, copyOrLink, Qt::IgnoreAction, {}},
        {{}, copyOrLink, Qt::IgnoreAction, "/clips/a.mov"},
        {{QUrl("https://example.org/a.mov")}, copyOrLink, Qt::IgnoreAction, {}},
        {{}, copyOrLink, Qt::IgnoreAction, {}},
    };
    size_t taken = 0, row = 0;
    for (const auto& [urls, offered, answer, text] : drops) {
        SCOPED_TRACE(row++);
        QMimeData data;
        text.isEmpty() ? data.setUrls(urls) : data.setText(text);
        const auto keys = offered & Qt::MoveAction ? Qt::ShiftModifier : Qt::NoModifier;
        QDragEnterEvent enter({10, 10}, offered, &data, Qt::LeftButton, keys);
        QCoreApplication::sendEvent(&view, &enter);
        EXPECT_TRUE(enter.isAccepted() == (offered != Qt::MoveAction) &&
                    (!enter.isAccepted() || enter.dropAction() != Qt::MoveAction));
        QDropEvent dropped(QPointF(10, 10), offered, &data, Qt::LeftButton, keys);
        QCoreApplication::sendEvent(&view, &dropped);
        EXPECT_EQ(dropped.isAccepted() ? dropped.dropAction() : Qt::IgnoreAction, answer);
        EXPECT_EQ(posted.size(), taken += answer != Qt::IgnoreAction);
    }
    NotificationCenter::defaultCenter().removeObserver(&view);
    EXPECT_EQ(posted, std::vector<std::string>(3, "/clips/gig \xE9\xFF.mov"));
}

}  // namespace
}  // namespace cliploop
