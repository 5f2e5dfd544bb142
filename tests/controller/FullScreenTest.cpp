// The screen menu (kept by the application's delegate) and full-screen output
// together, driven through the real window, its menu and the chain of responders.
#include <QContextMenuEvent>
#include <QMenu>
#include <QSplitter>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include "support/AppFixture.h"
#include "ui/ActionDispatch.h"

namespace cliploop::apptest {
namespace {

using Names = std::vector<std::string>;
const QStringList kThreeScreens{"MainScreen", "Screen 1", "Screen 2"};
const QStringList kExit{"Exit Full Screen"};

class FullScreenTest : public InterfaceTest {
  protected:
    void SetUp() override {
        InterfaceTest::SetUp();
        finishLaunching();
        for (const char* name : {"addMenuExitFullscreen", "fullScreenMenuUpdate"}) {
            NotificationCenter::defaultCenter().addObserver(
                this, name, nullptr, [this](const Notification& n) { posted_.push_back(n.name); });
        }
        view_ = controller_->playerView2;
        home_ = qobject_cast<QSplitter*>(view_->parentWidget());
        ASSERT_NE(home_, nullptr);
        homeIndex_ = home_->indexOf(view_);
    }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(this);
        setScreens(threeScreens());
        InterfaceTest::TearDown();
    }

    QAction* item(const QString& title) {
        for (QAction* a : window_->screenMenu()->actions())
            if (a->text() == title) return a;
        ADD_FAILURE() << "no item " << title.toStdString();
        return nullptr;
    }
    void choose(const QString& title) {
        posted_.clear();
        if (QAction* a = item(title)) a->trigger();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    // Judged by where the window really is.
    bool fillsScreen(int index) {
        QScreen* screen = QGuiApplication::screens().value(index);
        return view_->isInFullScreenMode() && view_->isWindow() && view_->windowHandle() &&
               view_->windowHandle()->screen() == screen && view_->geometry() == screen->geometry();
    }
    bool inItsPlace() {
        return !view_->isInFullScreenMode() && !view_->isWindow() && view_->isVisibleTo(window_) &&
               view_->parentWidget() == home_ && home_->indexOf(view_) == homeIndex_;
    }

    VideoView* view_ = nullptr;
    QSplitter* home_ = nullptr;
    int homeIndex_ = -1;
    Names posted_;
};

TEST_F(FullScreenTest, ScreenChangeScreenAgainAndExitFollowTheTable) {
    int stranger = 0;  // anyone's notifications change the menu, not the output
    NotificationCenter::defaultCenter().post("addMenuExitFullscreen", &stranger);
    choose("Exit Full Screen");  // in the window: nothing
    EXPECT_TRUE(inItsPlace());
    EXPECT_TRUE(posted_.empty());
    NotificationCenter::defaultCenter().post("fullScreenMenuUpdate", &stranger);
    EXPECT_EQ(menuTitles(), kThreeScreens);

    choose("Screen 2");
    EXPECT_TRUE(fillsScreen(2));
    EXPECT_EQ(menuTitles(), kExit);
    EXPECT_EQ(posted_, Names{"addMenuExitFullscreen"});

    std::vector<ScreenSpec> four = threeScreens();
    four.push_back({"D", {4000, 0, 640, 480}});
    setScreens(four);  // the screens are listed, the output stays
    const QStringList fourTitles = kThreeScreens + QStringList{"Screen 3"};
    EXPECT_EQ(menuTitles(), fourTitles);
    EXPECT_TRUE(fillsScreen(2));

    choose("Screen 3");  // stays where it is, the exit item comes back
    EXPECT_TRUE(fillsScreen(2));
    EXPECT_EQ(menuTitles(), kExit);
    EXPECT_EQ(posted_, Names{"addMenuExitFullscreen"});

    choose("Exit Full Screen");  // back, the screens as they are now
    EXPECT_TRUE(inItsPlace());
    EXPECT_EQ(menuTitles(), fourTitles);
    EXPECT_EQ(posted_, Names{"fullScreenMenuUpdate"});

    choose("MainScreen");  // Escape leaves, whatever the menu lists
    ASSERT_TRUE(fillsScreen(0));
    NotificationCenter::defaultCenter().post("fullScreenMenuUpdate", &stranger);
    EXPECT_TRUE(fillsScreen(0));
    QTest::keyClick(view_, Qt::Key_Escape);
    EXPECT_TRUE(inItsPlace());
    EXPECT_EQ(menuTitles(), fourTitles);
}

TEST_F(FullScreenTest, TheMenuFollowsDisplayChangesAndAGoneScreensItemDoesNothing) {
    // An item kept across a display change (a context menu still open).
    QAction kept(item("Screen 1")->text());
    actions::setRepresentedObject(&kept, actions::representedObject(item("Screen 1")));
    QObject::connect(&kept, &QAction::triggered,
                     [&] { actions::sendAction("fullScreenWithSender:", &kept); });
    setScreens({threeScreens()[0], threeScreens()[2]});
    const QStringList twoScreens{"MainScreen", "Screen 1"};
    EXPECT_EQ(menuTitles(), twoScreens);
    EXPECT_EQ(actions::representedObject(&kept), nullptr);
    kept.trigger();
    EXPECT_FALSE(view_->isInFullScreenMode());
    EXPECT_EQ(menuTitles(), kExit);
    choose("Exit Full Screen");
    EXPECT_TRUE(inItsPlace());

    // A new geometry, as a window system reports it, replaces the exit item.
    emit QGuiApplication::screens().at(0)->geometryChanged(QRect(0, 0, 1600, 900));
    EXPECT_EQ(menuTitles(), twoScreens);
    choose("Screen 1");  // the screen that was "Screen 2"
    EXPECT_TRUE(fillsScreen(1));
    QTest::keyClick(view_, Qt::Key_Escape);
    setScreens({});  // none at all: an empty menu (unless the platform keeps one)
    EXPECT_EQ(menuTitles().size(), QGuiApplication::screens().size());
    // Posted on another thread, handled on the main one.
    std::thread([] { NotificationCenter::defaultCenter().post("addMenuExitFullscreen"); }).join();
    EXPECT_TRUE(eventually([&] { return menuTitles() == kExit; }));
}

TEST_F(FullScreenTest, TheFullScreenOutputReachesTheControllerByItsContextMenu) {
    window_->show();
    QWidget* table = window_->findChild<QWidget*>("clipTable");
    table->setFocus();
    EXPECT_TRUE(actions::sendAction("fullScreenWithSender:", item("Screen 1"), table));
    ASSERT_TRUE(fillsScreen(1));
    // The view left the main window; its context menu's exit item still works.
    QStringList offered;
    QTimer::singleShot(0, [&] {
        auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!popup) return;
        for (QAction* a : popup->actions()) offered << a->text();
        if (!offered.isEmpty()) popup->setActiveAction(popup->actions()[0]);
        QTest::keyClick(popup, offered.isEmpty() ? Qt::Key_Escape : Qt::Key_Return);
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10),
                            view_->mapToGlobal(QPoint(10, 10)));
    QCoreApplication::sendEvent(view_, &event);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(offered, kExit);
    EXPECT_TRUE(inItsPlace());
}

}  // namespace
}  // namespace cliploop::apptest
