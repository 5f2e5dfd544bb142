#include <gtest/gtest.h>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

#include <any>
#include <functional>
#include <string>
#include <vector>

#include "foundation/NotificationCenter.h"
#include "views/PlayerView.h"

namespace cliploop {
namespace {

class PlayerViewTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "cliploop-views-test";
        static char* argv[] = {name, nullptr};
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        if (!qApp) new QApplication(argc, argv);
    }
    void SetUp() override {
        NotificationCenter::defaultCenter().addObserver(
            this, "DragAndDropNotification", nullptr,
            [this](const Notification& notification) { posted.push_back(notification); });
    }
    void TearDown() override { NotificationCenter::defaultCenter().removeObserver(this); }

    // Whether the drag was welcome and whether its drop was taken.
    std::pair<bool, bool> drop(const std::function<void(QMimeData&)>& fill) {
        QMimeData data;
        fill(data);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction | Qt::LinkAction, &data,
                              Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&view, &enter);
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction | Qt::LinkAction, &data, Qt::LeftButton,
                           Qt::NoModifier);
        QCoreApplication::sendEvent(&view, &dropped);
        return {enter.isAccepted(), dropped.isAccepted()};
    }

    PlayerView view;
    std::vector<Notification> posted;
};

TEST_F(PlayerViewTest, EveryDragIsWelcomeButOnlyOneLocalFileIsTakenWithItsExactPath) {
    const std::pair<std::function<void(QMimeData&)>, bool> drops[] = {
        {[](QMimeData& d) { d.setUrls({QUrl::fromEncoded("file:///clips/gig%20%E9%FF.mov")}); },
         true},
        {[](QMimeData& d) {
             d.setUrls({QUrl::fromLocalFile("/clips/a.mov"), QUrl::fromLocalFile("/clips/b.mov")});
         },
         false},
        {[](QMimeData& d) { d.setText("/clips/a.mov"); }, false},
        {[](QMimeData& d) { d.setUrls({QUrl("https://example.org/a.mov")}); }, false},
        {[](QMimeData& d) { d.setUrls({}); }, false},
    };
    for (const auto& [fill, taken] : drops) EXPECT_EQ(drop(fill), std::make_pair(true, taken));
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].name, view.notificationDragAndDrop);
    EXPECT_EQ(posted[0].sender, &view);
    const auto* path = std::any_cast<std::string>(&posted[0].object);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(*path, "/clips/gig \xE9\xFF.mov");  // not UTF-8: the bytes as they are
}

}  // namespace
}  // namespace cliploop
