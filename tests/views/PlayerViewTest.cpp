#include <gtest/gtest.h>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

#include <any>
#include <string>
#include <vector>

#include "foundation/NotificationCenter.h"
#include "views/PlayerView.h"

namespace cliploop {
namespace {

QApplication& application() {
    static QApplication* app = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "cliploop-views-test";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return *app;
}

class PlayerViewTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { application(); }
    void SetUp() override {
        NotificationCenter::defaultCenter().addObserver(
            this, "DragAndDropNotification", nullptr,
            [this](const Notification& notification) { posted.push_back(notification); });
    }
    void TearDown() override { NotificationCenter::defaultCenter().removeObserver(this); }

    // A drag entering the view and dropped there; whether the drop was taken.
    bool drop(QMimeData& data) {
        const QPoint at(10, 10);
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::LinkAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QCoreApplication::sendEvent(&view, &enter);
        entered = enter.isAccepted();
        QDropEvent dropped(QPointF(at), Qt::CopyAction | Qt::LinkAction, &data, Qt::LeftButton,
                           Qt::NoModifier);
        QCoreApplication::sendEvent(&view, &dropped);
        return dropped.isAccepted();
    }

    PlayerView view;
    std::vector<Notification> posted;
    bool entered = false;
};

TEST_F(PlayerViewTest, OneDroppedFilePostsItsExactPath) {
    EXPECT_EQ(view.notificationDragAndDrop, "DragAndDropNotification");
    EXPECT_TRUE(view.acceptDrops());
    QMimeData data;
    // A name that is not UTF-8 keeps its bytes.
    data.setUrls({QUrl::fromEncoded("file:///clips/gig%20%E9t%E9%FF.mov")});
    EXPECT_TRUE(drop(data));
    EXPECT_TRUE(entered);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].name, "DragAndDropNotification");
    EXPECT_EQ(posted[0].sender, &view);
    const auto* path = std::any_cast<std::string>(&posted[0].object);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(*path, "/clips/gig \xE9t\xE9\xFF.mov");
}

TEST_F(PlayerViewTest, EveryDragIsWelcomeButOnlyOneLocalFileIsTaken) {
    QMimeData two;
    two.setUrls({QUrl::fromLocalFile("/clips/a.mov"), QUrl::fromLocalFile("/clips/b.mov")});
    EXPECT_FALSE(drop(two));
    EXPECT_TRUE(entered);

    QMimeData text;
    text.setText("/clips/a.mov");
    EXPECT_FALSE(drop(text));
    EXPECT_TRUE(entered);

    QMimeData remote;
    remote.setUrls({QUrl("https://example.org/a.mov")});
    EXPECT_FALSE(drop(remote));

    QMimeData none;
    none.setUrls({});
    EXPECT_FALSE(drop(none));
    EXPECT_TRUE(posted.empty());
}

}  // namespace
}  // namespace cliploop
