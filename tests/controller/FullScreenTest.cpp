// The screen menu and full-screen output together: every row of their state
// table, driven through the real window, its menu and the chain of responders.
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
const QStringList kFourScreens{"MainScreen", "Screen 1", "Screen 2", "Screen 3"};
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
        if (QAction* a = item(title)) a->trigger();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    void fourScreens() {
        std::vector<ScreenSpec> four = threeScreens();
        four.push_back({"D", {4000, 0, 640, 480}});
        setScreens(four);
    }
    // Judged by where the window really is.
    bool fillsScreen(QScreen* screen) {
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
    std::vector<std::string> posted_;
};

TEST_F(FullScreenTest, ScreenChangeScreenAgainAndExitFollowTheTable) {
    QScreen* screen = QGuiApplication::screens()[2];
    choose("Screen 2");  // row 2
    EXPECT_TRUE(fillsScreen(screen));
    EXPECT_EQ(menuTitles(), kExit);
    EXPECT_EQ(posted_, Names{"addMenuExitFullscreen"});

    fourScreens();  // row 6: the screens are listed, the output stays
    EXPECT_EQ(menuTitles(), kFourScreens);
    EXPECT_TRUE(fillsScreen(screen));

    posted_.clear();
    choose("Screen 3");  // row 3: stays where it is
    EXPECT_TRUE(fillsScreen(screen));
    EXPECT_EQ(menuTitles(), kExit);
    EXPECT_EQ(posted_, Names{"addMenuExitFullscreen"});

    posted_.clear();
    choose("Exit Full Screen");  // row 4: back, the screens as they are now
    EXPECT_TRUE(inItsPlace());
    EXPECT_EQ(menuTitles(), kFourScreens);
    EXPECT_EQ(posted_, Names{"fullScreenMenuUpdate"});
}

TEST_F(FullScreenTest, NotificationsFromOtherSendersChangeTheMenuNotTheOutput) {  // rows 5, 7, 8
    int stranger = 0;
    NotificationCenter::defaultCenter().post("addMenuExitFullscreen", &stranger);
    EXPECT_EQ(menuTitles(), kExit);
    EXPECT_TRUE(inItsPlace());
    posted_.clear();
    choose("Exit Full Screen");  // row 5: in the window, nothing
    EXPECT_TRUE(inItsPlace());
    EXPECT_EQ(menuTitles(), kExit);
    EXPECT_TRUE(posted_.empty());

    NotificationCenter::defaultCenter().post("fullScreenMenuUpdate", &stranger);
    EXPECT_EQ(menuTitles(), (QStringList{"MainScreen", "Screen 1", "Screen 2"}));
    choose("Screen 2");
    NotificationCenter::defaultCenter().post("fullScreenMenuUpdate", &stranger);
    EXPECT_TRUE(fillsScreen(QGuiApplication::screens()[2]));
    NotificationCenter::defaultCenter().post("addMenuExitFullscreen");
    EXPECT_TRUE(fillsScreen(QGuiApplication::screens()[2]));
}

TEST_F(FullScreenTest, AnItemWhoseScreenIsGoneLeavesTheExitItemThatDoesNothing) {
    // An item kept across a display change (a context menu still open).
    QAction kept(item("Screen 2")->text());
    actions::setRepresentedObject(&kept, actions::representedObject(item("Screen 2")));
    QObject::connect(&kept, &QAction::triggered,
                     [&] { actions::sendAction("fullScreenWithSender:", &kept); });
    setScreens({threeScreens()[0], threeScreens()[1]});
    EXPECT_EQ(actions::representedObject(&kept), nullptr);
    kept.trigger();
    EXPECT_FALSE(view_->isInFullScreenMode());
    EXPECT_EQ(menuTitles(), kExit);
    choose("Exit Full Screen");
    EXPECT_TRUE(inItsPlace());
}

TEST_F(FullScreenTest, EscapeLeavesFullScreenWhateverTheMenuLists) {
    choose("Screen 1");
    NotificationCenter::defaultCenter().post("fullScreenMenuUpdate");
    QTest::keyClick(view_, Qt::Key_Escape);
    EXPECT_TRUE(inItsPlace());
    choose("MainScreen");
    ASSERT_TRUE(view_->isInFullScreenMode());
    QTest::keyClick(view_, Qt::Key_Escape);
    EXPECT_TRUE(inItsPlace());
    EXPECT_EQ(menuTitles(), (QStringList{"MainScreen", "Screen 1", "Screen 2"}));
}

TEST_F(FullScreenTest, TheFullScreenOutputReachesTheControllerByItsContextMenu) {
    window_->show();
    QWidget* table = window_->findChild<QWidget*>("clipTable");
    table->setFocus();
    EXPECT_TRUE(actions::sendAction("fullScreenWithSender:", item("Screen 1"), table));
    ASSERT_TRUE(fillsScreen(QGuiApplication::screens()[1]));
    // The view left the main window; its context menu's exit item still works.
    QStringList offered;
    QTimer::singleShot(0, [&] {
        auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!popup) return;
        for (QAction* a : popup->actions()) offered << a->text();
        for (QAction* a : popup->actions())
            if (a->text() == "Exit Full Screen") {
                popup->setActiveAction(a);
                QTest::keyClick(popup, Qt::Key_Return);
                return;
            }
        popup->close();
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
