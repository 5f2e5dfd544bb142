// The screen menu (kept by the application's delegate) and full-screen output, in the real window.
#include <qpa/qplatformnativeinterface.h>
#include <QLineEdit>
#include <QSplitter>
#include <QTableView>
#include <QTest>

#include "support/AppFixture.h"
#include "ui/ActionDispatch.h"

namespace cliploop::apptest {
namespace {

const QStringList kExit{"Exit Full Screen"};

// Replaces the screens while running; Qt reports the change synchronously.
void setScreens(std::initializer_list<int> screens) {
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    auto* set = reinterpret_cast<void (*)(const QJsonObject&, QPlatformNativeInterface*)>(
        native->nativeResourceForIntegration("setConfiguration"));
    ASSERT_NE(set, nullptr);
    set(uitest::screensConfiguration(screens), native);
}

class FullScreenTest : public InterfaceTest {
  protected:
    void SetUp() override {
        InterfaceTest::SetUp();
        loaded_.delegate->applicationDidFinishLaunching({});  // what the loop would send
        view_ = controller_->playerView2;
        ASSERT_TRUE(home_ = qobject_cast<QSplitter*>(view_->parentWidget()));
        homeIndex_ = home_->indexOf(view_);
    }
    void TearDown() override {
        setScreens({0, 1, 2});
        InterfaceTest::TearDown();
    }

    QStringList menuTitles() const {
        QStringList titles;
        for (QAction* a : window_->screenMenu()->actions()) titles << a->text();
        return titles;
    }
    void choose(const QString& title) {
        QAction* item = window_->screenMenu()->actions().value(menuTitles().indexOf(title));
        ASSERT_TRUE(item) << title.toStdString();
        item->trigger();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    bool fillsScreen(int i) { return fills(*view_, QGuiApplication::screens().value(i)); }
    bool inItsPlace() {
        return !view_->isInFullScreenMode() && !view_->isWindow() && view_->isVisibleTo(window_) &&
               view_->parentWidget() == home_ && home_->indexOf(view_) == homeIndex_;
    }

    VideoView* view_ = nullptr;
    QSplitter* home_ = nullptr;
    int homeIndex_ = -1;
};

TEST_F(FullScreenTest, TheMenuFollowsDisplayChangesAndAGoneScreensItemDoesNothing) {
    QAction kept("Screen 1");  // kept across a display change, as by a context menu still open
    actions::setRepresentedObject(&kept,
                                  actions::representedObject(window_->screenMenu()->actions()[1]));
    setScreens({0, 2});
    EXPECT_EQ(menuTitles(), (QStringList{"MainScreen", "Screen 1"}));
    actions::sendAction("fullScreenWithSender:", &kept);
    EXPECT_TRUE(!view_->isInFullScreenMode() && menuTitles() == kExit);
    setScreens({});  // none at all: no item is left to choose
    EXPECT_TRUE(menuTitles().isEmpty());
    setScreens({1});  // a lone screen comes back as the main one
    EXPECT_EQ(menuTitles(), QStringList{"MainScreen"});
    // Anyone's, posted on another thread, handled on the main one; changing the menu only.
    std::thread([] { NotificationCenter::defaultCenter().post("addMenuExitFullscreen"); }).join();
    EXPECT_TRUE(eventually([&] { return menuTitles() == kExit; }));
    choose("Exit Full Screen");
    EXPECT_TRUE(inItsPlace());
    int stranger = 0;
    NotificationCenter::defaultCenter().post("fullScreenMenuUpdate", &stranger);
    EXPECT_EQ(menuTitles(), QStringList{"MainScreen"});
}

// Ctrl+F and Escape work in the window unless the output covers the window's own screen.
TEST_F(FullScreenTest, TheKeyboardStaysWithTheWindowUnlessTheOutputCoversItsScreen) {
    QLineEdit* field = controller_->searchField;
    auto* table = window_->findChild<QTableView*>("clipTable");
    window_->activateWindow();
    ASSERT_TRUE(eventually([&] { return QApplication::activeWindow() == window_; }));
    table->setFocus();
    field->setText("rain loop");
    choose("Screen 1");
    ASSERT_TRUE(eventually([&] { return fillsScreen(1) && view_->windowHandle()->isExposed(); }));
    eventually([] { return false; }, std::chrono::milliseconds(100));  // activation it brought
    EXPECT_EQ(menuTitles(), kExit);
    EXPECT_TRUE(QApplication::activeWindow() == window_ && table->hasFocus());
    QTest::keyClick(table, Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(field->hasFocus() && field->selectedText() == "rain loop");  // typing replaces it
    EXPECT_TRUE(eventually([&] { return view_->cursor().shape() == Qt::BlankCursor; }));  // at rest
    QTest::mouseMove(view_, QPoint(40, 40));
    EXPECT_NE(view_->cursor().shape(), Qt::BlankCursor);

    // Escape in the window leaves, but not while a menu is open there.
    window_->screenMenu()->popup(window_->geometry().center());
    ASSERT_TRUE(eventually([&] { return QApplication::activePopupWidget(); }));
    QTest::keyClick(field, Qt::Key_Escape);
    EXPECT_TRUE(view_->isInFullScreenMode());
    window_->screenMenu()->close();
    ASSERT_TRUE(eventually([] { return !QApplication::activePopupWidget(); }));
    QTest::keyClick(field, Qt::Key_Escape);
    EXPECT_TRUE(inItsPlace() && view_->cursor().shape() != Qt::BlankCursor &&
                menuTitles() == (QStringList{"MainScreen", "Screen 1", "Screen 2"}));

    choose("MainScreen");
    EXPECT_TRUE(
        eventually([&] { return QApplication::activeWindow() == view_ && view_->hasFocus(); }));
    EXPECT_TRUE(fillsScreen(0));
    QTest::keyClick(view_, Qt::Key_Escape);
    EXPECT_TRUE(inItsPlace());
}

}  // namespace
}  // namespace cliploop::apptest
