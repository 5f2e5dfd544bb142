// The screen menu and full-screen output together: every row of their state
// table, driven through the real window, its menu and the chain of
// responders.
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

// Records what the controller asks of the output view.
class RecordingView : public VideoView {
  public:
    using VideoView::VideoView;
    bool enterFullScreenMode(QScreen* screen, const QVariantMap& options) override {
        lastOptions = options;
        ++enters;
        return VideoView::enterFullScreenMode(screen, options);
    }
    QVariantMap lastOptions;
    int enters = 0;
};

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
    // Full screen on `screen`, judged by where the window really is.
    bool fillsScreen(QScreen* screen) {
        return view_->isInFullScreenMode() && view_->isWindow() && view_->windowHandle() &&
               view_->windowHandle()->screen() == screen && view_->geometry() == screen->geometry();
    }
    bool inItsPlace() {
        return !view_->isInFullScreenMode() && !view_->isWindow() &&
               view_->parentWidget() == home_ && home_->indexOf(view_) == homeIndex_;
    }

    VideoView* view_ = nullptr;
    QSplitter* home_ = nullptr;
    int homeIndex_ = -1;
    std::vector<std::string> posted_;
};

using Names = std::vector<std::string>;

TEST_F(FullScreenTest, ChoosingAScreenPutsTheOutputOnItAndOffersTheExitItem) {  // row 2
    choose("Screen 2");
    EXPECT_TRUE(fillsScreen(QGuiApplication::screens()[2]));
    EXPECT_EQ(menuTitles(), QStringList{"Exit Full Screen"});
    EXPECT_EQ(posted_, Names{"addMenuExitFullscreen"});
}

TEST_F(FullScreenTest, TheOptionsTakeOneScreenWithFullScreenPresentation) {
    auto* recording = new RecordingView(window_);
    controller_->playerView2 = recording;
    choose("Screen 1");
    ASSERT_EQ(recording->enters, 1);
    EXPECT_EQ(recording->lastOptions.size(), 2);
    EXPECT_EQ(recording->lastOptions.value("NSFullScreenModeAllScreens"), QVariant(false));
    const QVariant presentation =
        recording->lastOptions.value("NSFullScreenModeApplicationPresentationOptions");
    EXPECT_EQ(presentation.typeId(), QMetaType::UInt);
    EXPECT_EQ(presentation.toUInt(), 1024u);
    recording->exitFullScreenModeWithOptions(nullptr);
}

TEST_F(FullScreenTest, ExitBringsTheOutputBackToItsPlaceAndListsTheScreensAsTheyAreNow) {  // row 4
    choose("Screen 1");
    std::vector<ScreenSpec> four = threeScreens();
    four.push_back({"D", {4000, 0, 640, 480}});
    setScreens(four);
    loaded_.delegate->addMenuExitFullscreen({});  // back to the exit item
    posted_.clear();

    choose("Exit Full Screen");
    EXPECT_TRUE(inItsPlace());
    EXPECT_TRUE(view_->isVisible());
    EXPECT_EQ(menuTitles(), (QStringList{"MainScreen", "Screen 1", "Screen 2", "Screen 3"}));
    EXPECT_EQ(posted_, Names{"fullScreenMenuUpdate"});
}

TEST_F(FullScreenTest, TheOutputComesBackWithItsSizeInTheSplitter) {
    window_->resize(1200, 800);
    window_->show();
    settle(std::chrono::milliseconds(50));
    const QList<int> sizes = home_->sizes();
    choose("MainScreen");
    choose("Exit Full Screen");
    settle(std::chrono::milliseconds(50));
    EXPECT_EQ(home_->sizes(), sizes);
}

TEST_F(FullScreenTest, ExitWhileInTheWindowDoesNothing) {  // row 5
    loaded_.delegate->addMenuExitFullscreen({});
    choose("Exit Full Screen");
    EXPECT_TRUE(inItsPlace());
    EXPECT_EQ(menuTitles(), QStringList{"Exit Full Screen"});
    EXPECT_TRUE(posted_.empty());
}

TEST_F(FullScreenTest, ADisplayChangeDuringFullScreenListsScreensAndAScreenItemKeepsTheOutput) {
    choose("Screen 1");  // row 2
    QScreen* screen = QGuiApplication::screens()[1];
    std::vector<ScreenSpec> four = threeScreens();
    four.push_back({"D", {4000, 0, 640, 480}});
    setScreens(four);  // row 6
    EXPECT_EQ(menuTitles(), (QStringList{"MainScreen", "Screen 1", "Screen 2", "Screen 3"}));
    EXPECT_TRUE(fillsScreen(screen));
    posted_.clear();

    choose("Screen 3");  // row 3: stays where it is
    EXPECT_TRUE(fillsScreen(screen));
    EXPECT_EQ(menuTitles(), QStringList{"Exit Full Screen"});
    EXPECT_EQ(posted_, Names{"addMenuExitFullscreen"});
}

TEST_F(FullScreenTest, NotificationsFromOtherSendersChangeTheMenuNotTheOutput) {  // rows 7, 8
    int stranger = 0;
    NotificationCenter::defaultCenter().post("addMenuExitFullscreen", &stranger);
    EXPECT_EQ(menuTitles(), QStringList{"Exit Full Screen"});
    EXPECT_TRUE(inItsPlace());

    choose("Exit Full Screen");  // the exit item in the window: nothing
    EXPECT_TRUE(inItsPlace());

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
    QPointer<QAction> stale = item("Screen 2");
    const QString staleTitle = stale->text();
    QAction kept(staleTitle);
    actions::setRepresentedObject(&kept, actions::representedObject(stale));
    QObject::connect(&kept, &QAction::triggered,
                     [&] { actions::sendAction("fullScreenWithSender:", &kept); });
    setScreens({threeScreens()[0], threeScreens()[1]});
    EXPECT_EQ(actions::representedObject(&kept), nullptr);

    kept.trigger();
    EXPECT_FALSE(view_->isInFullScreenMode());
    EXPECT_EQ(menuTitles(), QStringList{"Exit Full Screen"});
    choose("Exit Full Screen");
    EXPECT_TRUE(inItsPlace());
    EXPECT_EQ(menuTitles(), QStringList{"Exit Full Screen"});
}

TEST_F(FullScreenTest, EscapeLeavesFullScreen) {
    choose("MainScreen");
    ASSERT_TRUE(view_->isInFullScreenMode());
    QTest::keyClick(view_, Qt::Key_Escape);
    EXPECT_TRUE(inItsPlace());
    EXPECT_EQ(menuTitles(), (QStringList{"MainScreen", "Screen 1", "Screen 2"}));
}

TEST_F(FullScreenTest, EscapeLeavesEvenWhileTheMenuListsTheScreens) {
    choose("Screen 1");
    NotificationCenter::defaultCenter().post("fullScreenMenuUpdate");
    QTest::keyClick(view_, Qt::Key_Escape);
    EXPECT_TRUE(inItsPlace());
}

TEST_F(FullScreenTest, TheFullScreenOutputOffersTheScreenMenuAsItsContextMenu) {
    choose("Screen 1");
    ASSERT_TRUE(view_->isInFullScreenMode());
    QStringList offered;
    QTimer::singleShot(0, [&] {
        auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!popup) return;
        for (QAction* a : popup->actions()) offered << a->text();
        // Choosing its exit item is choosing the menu's.
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
    EXPECT_EQ(offered, QStringList{"Exit Full Screen"});
    EXPECT_TRUE(inItsPlace());
}

TEST_F(FullScreenTest, MenuActionsReachTheControllerFromWhereverTheFocusIs) {
    window_->show();
    QWidget* table = window_->findChild<QWidget*>("clipTable");
    table->setFocus();
    EXPECT_TRUE(actions::sendAction("fullScreenWithSender:", item("Screen 1"), table));
    EXPECT_TRUE(fillsScreen(QGuiApplication::screens()[1]));
    // From inside the full-screen window, which left the main window.
    EXPECT_TRUE(actions::sendAction("exitFullscreenWithSender:", nullptr, view_));
    EXPECT_TRUE(inItsPlace());
    EXPECT_FALSE(actions::sendAction("noSuchActionWithSender:", nullptr, table));
}

}  // namespace
}  // namespace cliploop::apptest
