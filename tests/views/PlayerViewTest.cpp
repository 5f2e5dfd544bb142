// Drops on the preview: exactly one local file posts its exact path.
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

#include "../controller/support/AppFixture.h"
#include "views/PlayerView.h"

namespace cliploop {
namespace {

TEST(PlayerView, EveryDragIsWelcomeButOnlyOneLocalFileIsTakenWithItsExactPath) {
    apptest::application();
    PlayerView view;
    std::vector<Notification> posted;
    NotificationCenter::defaultCenter().addObserver(
        &view, "DragAndDropNotification", nullptr,
        [&](const Notification& notification) { posted.push_back(notification); });

    const struct {
        QList<QUrl> urls;
        QString text;
        bool taken;
    } drops[] = {
        {{QUrl::fromEncoded("file:///clips/gig%20%E9%FF.mov")}, {}, true},
        {{QUrl::fromLocalFile("/clips/a.mov"), QUrl::fromLocalFile("/clips/b.mov")}, {}, false},
        {{}, "/clips/a.mov", false},
        {{QUrl("https://example.org/a.mov")}, {}, false},
        {{}, {}, false},
    };
    for (const auto& [urls, text, taken] : drops) {
        SCOPED_TRACE(text.toStdString() + " " + QUrl::toStringList(urls).join(' ').toStdString());
        QMimeData data;
        text.isEmpty() ? data.setUrls(urls) : data.setText(text);
        const auto actions = Qt::CopyAction | Qt::LinkAction;
        QDragEnterEvent enter({10, 10}, actions, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&view, &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent dropped(QPointF(10, 10), actions, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&view, &dropped);
        EXPECT_EQ(dropped.isAccepted(), taken);
    }
    NotificationCenter::defaultCenter().removeObserver(&view);
    ASSERT_EQ(posted.size(), 1u);
    const auto* path = std::any_cast<std::string>(&posted[0].object);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(*path, "/clips/gig \xE9\xFF.mov");  // not UTF-8: the bytes as they are
}

}  // namespace
}  // namespace cliploop
