// The application delegate: the screen menu after launching, on display
// changes, and the routing of the two full-screen notifications from any
// sender.
#include <QMenu>
#include <QTest>

#include "../controller/support/AppFixture.h"
#include "ui/ActionDispatch.h"

namespace cliploop::apptest {
namespace {

class AppDelegateTest : public InterfaceTest {
  protected:
    void TearDown() override {
        setScreens(threeScreens());
        InterfaceTest::TearDown();
    }
};

TEST_F(AppDelegateTest, LaunchListsEveryScreenWhateverTheMenuHeld) {
    QMenu* menu = window_->screenMenu();
    ASSERT_EQ(loaded_.delegate->menuFullscreen, menu);
    menu->addAction("left over from the layout");
    finishLaunching();

    EXPECT_EQ(menuTitles(), (QStringList{"MainScreen", "Screen 1", "Screen 2"}));
    const QList<QScreen*> screens = QGuiApplication::screens();
    const QList<QAction*> items = menu->actions();
    ASSERT_EQ(items.size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(actions::representedObject(items[i]), screens[i]) << i;
        EXPECT_EQ(actions::actionOf(items[i]), "fullScreenWithSender:");
        EXPECT_TRUE(items[i]->shortcut().isEmpty());
    }
}

TEST_F(AppDelegateTest, TheControllerRegistersItselfWithTheDelegate) {
    EXPECT_EQ(loaded_.delegate->viewController, controller_);
    EXPECT_EQ(application::delegate(), loaded_.delegate);
}

TEST_F(AppDelegateTest, OneScreenGivesOneItem) {
    finishLaunching();
    setScreens({{"Only", {0, 0, 1024, 768}}});
    EXPECT_EQ(menuTitles(), QStringList{"MainScreen"});
    EXPECT_EQ(actions::representedObject(window_->screenMenu()->actions().value(0)),
              QGuiApplication::primaryScreen());
}

TEST_F(AppDelegateTest, ScreensAddedAndRemovedAtRunTimeRebuildTheMenu) {
    finishLaunching();
    std::vector<ScreenSpec> four = threeScreens();
    four.push_back({"D", {4000, 0, 640, 480}});
    setScreens(four);
    EXPECT_EQ(menuTitles(), (QStringList{"MainScreen", "Screen 1", "Screen 2", "Screen 3"}));

    setScreens({four[0], four[3]});
    EXPECT_EQ(menuTitles(), (QStringList{"MainScreen", "Screen 1"}));
    // No item offers a screen that is gone.
    for (QAction* item : window_->screenMenu()->actions())
        EXPECT_TRUE(QGuiApplication::screens().contains(
            qobject_cast<QScreen*>(actions::representedObject(item))));
}

TEST_F(AppDelegateTest, AGeometryChangeRebuildsTheMenu) {
    finishLaunching();
    loaded_.delegate->addMenuExitFullscreen({});
    ASSERT_EQ(menuTitles(), QStringList{"Exit Full Screen"});
    // As a window system reports a screen's new geometry.
    QScreen* screen = QGuiApplication::screens().at(1);
    emit screen->geometryChanged(QRect(1920, 0, 1600, 1024));
    EXPECT_EQ(menuTitles(), (QStringList{"MainScreen", "Screen 1", "Screen 2"}));
}

TEST_F(AppDelegateTest, AnEmptyScreenListGivesAnEmptyMenu) {
    finishLaunching();
    setScreens({});
    if (!QGuiApplication::screens().isEmpty()) GTEST_SKIP() << "the platform keeps a screen";
    EXPECT_TRUE(window_->screenMenu()->actions().isEmpty());
}

TEST_F(AppDelegateTest, NotificationsPostedOffTheMainThreadReachTheMenuOnIt) {
    finishLaunching();
    std::thread([] { NotificationCenter::defaultCenter().post("addMenuExitFullscreen"); }).join();
    EXPECT_TRUE(eventually([&] { return menuTitles() == QStringList{"Exit Full Screen"}; }));
}

}  // namespace
}  // namespace cliploop::apptest
