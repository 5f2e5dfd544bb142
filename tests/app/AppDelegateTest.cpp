// The application delegate: the screen menu after launching and on display
// changes, and the full-screen notifications from any thread.
#include <QMenu>

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
    // One item per screen, in order, each sending its screen.
    void expectScreenItems(const QStringList& titles) {
        EXPECT_EQ(menuTitles(), titles);
        const QList<QScreen*> screens = QGuiApplication::screens();
        const QList<QAction*> items = window_->screenMenu()->actions();
        ASSERT_EQ(items.size(), screens.size());
        for (int i = 0; i < items.size(); ++i) {
            EXPECT_EQ(actions::representedObject(items[i]), screens[i]) << i;
            EXPECT_EQ(actions::actionOf(items[i]), "fullScreenWithSender:");
            EXPECT_TRUE(items[i]->shortcut().isEmpty());
        }
    }
};

TEST_F(AppDelegateTest, TheMenuListsTheScreensAtLaunchAndAfterEveryChange) {
    ASSERT_EQ(loaded_.delegate->menuFullscreen, window_->screenMenu());
    window_->screenMenu()->addAction("left over from the layout");
    finishLaunching();
    expectScreenItems({"MainScreen", "Screen 1", "Screen 2"});

    std::vector<ScreenSpec> four = threeScreens();
    four.push_back({"D", {4000, 0, 640, 480}});
    setScreens(four);
    expectScreenItems({"MainScreen", "Screen 1", "Screen 2", "Screen 3"});
    setScreens({four[0], four[3]});
    expectScreenItems({"MainScreen", "Screen 1"});
    setScreens({{"Only", {0, 0, 1024, 768}}});
    expectScreenItems({"MainScreen"});

    // A new geometry, as a window system reports it, replaces the exit item.
    setScreens(threeScreens());
    loaded_.delegate->addMenuExitFullscreen({});
    ASSERT_EQ(menuTitles(), QStringList{"Exit Full Screen"});
    emit QGuiApplication::screens().at(1)->geometryChanged(QRect(1920, 0, 1600, 1024));
    expectScreenItems({"MainScreen", "Screen 1", "Screen 2"});

    setScreens({});  // none at all: an empty menu (unless the platform keeps one)
    expectScreenItems(QGuiApplication::screens().isEmpty() ? QStringList{}
                                                           : QStringList{"MainScreen"});
}

TEST_F(AppDelegateTest, NotificationsPostedOffTheMainThreadReachTheMenuOnIt) {
    finishLaunching();
    std::thread([] { NotificationCenter::defaultCenter().post("addMenuExitFullscreen"); }).join();
    EXPECT_TRUE(eventually([&] { return menuTitles() == QStringList{"Exit Full Screen"}; }));
}

}  // namespace
}  // namespace cliploop::apptest
