// Menu items that carry an action by name, and the chain of responders that
// delivers it to the first controller that implements it.
#include <QAction>
#include <QMenu>
#include <QPointer>
#include <QVBoxLayout>

#include "support/UiFixture.h"
#include "ui/ActionDispatch.h"
#include "ui/ViewControllerBase.h"

namespace cliploop::uitest {
namespace {

class Responder : public ViewControllerBase {
  public:
    explicit Responder(std::string implemented) : implemented_(std::move(implemented)) {}
    bool performAction(std::string_view action, QObject* sender) override {
        if (action != implemented_) return false;
        received.emplace_back(std::string(action), sender);
        return true;
    }
    std::vector<std::pair<std::string, QObject*>> received;

  private:
    std::string implemented_;
};

class ActionDispatchTest : public ::testing::Test {
  protected:
    void SetUp() override { application(); }
};

TEST_F(ActionDispatchTest, AnItemSendsItsActionWithItselfAsSenderToTheWindowsController) {
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* child = new QWidget;
    layout->addWidget(child);
    Responder controller("fullScreenWithSender:");
    actions::setController(&window, &controller);

    QMenu menu;
    QAction* item = actions::makeMenuItem("Screen 1", "fullScreenWithSender:", &menu);
    menu.addAction(item);
    EXPECT_EQ(actions::actionOf(item), "fullScreenWithSender:");
    EXPECT_TRUE(item->shortcut().isEmpty());
    EXPECT_EQ(item->text(), "Screen 1");

    // From a widget inside the window, and with no focus at all.
    EXPECT_TRUE(actions::sendAction("fullScreenWithSender:", item, child));
    item->trigger();
    ASSERT_EQ(controller.received.size(), 2u);
    EXPECT_EQ(controller.received[1].second, item);
}

TEST_F(ActionDispatchTest, TheFirstResponderThatImplementsTheActionTakesIt) {
    QWidget outer;
    auto* inner = new QWidget(&outer);
    auto* leaf = new QWidget(inner);
    Responder innerController("exitFullscreenWithSender:");
    Responder outerController("fullScreenWithSender:");
    actions::setController(inner, &innerController);
    actions::setController(&outer, &outerController);

    EXPECT_TRUE(actions::sendAction("fullScreenWithSender:", nullptr, leaf));
    EXPECT_TRUE(actions::sendAction("exitFullscreenWithSender:", nullptr, leaf));
    EXPECT_EQ(innerController.received.size(), 1u);
    EXPECT_EQ(outerController.received.size(), 1u);
    EXPECT_FALSE(actions::sendAction("unknownWithSender:", nullptr, leaf));
}

TEST_F(ActionDispatchTest, AWidgetOutsideItsWindowNamesItsNextResponder) {
    QWidget window;
    Responder controller("exitFullscreenWithSender:");
    actions::setController(&window, &controller);
    QWidget loose;  // a top-level window of its own, as a full-screen view
    actions::setNextResponder(&loose, &window);
    EXPECT_TRUE(actions::sendAction("exitFullscreenWithSender:", nullptr, &loose));
    actions::setNextResponder(&loose, nullptr);
    controller.received.clear();
    // Still reached as the main window's controller, but not through `loose`.
    EXPECT_TRUE(actions::sendAction("exitFullscreenWithSender:", nullptr, &loose));
    EXPECT_EQ(controller.received.size(), 1u);
}

TEST_F(ActionDispatchTest, AControllerThatIsGoneIsNotAsked) {
    QWidget window;
    auto* controller = new Responder("fullScreenWithSender:");
    actions::setController(&window, controller);
    delete controller;
    EXPECT_EQ(actions::controllerOf(&window), nullptr);
    EXPECT_FALSE(actions::sendAction("fullScreenWithSender:", nullptr, &window));
}

TEST_F(ActionDispatchTest, TheRepresentedObjectReadsEmptyOnceItIsGone) {
    QAction item;
    auto* object = new QObject;
    actions::setRepresentedObject(&item, object);
    EXPECT_EQ(actions::representedObject(&item), object);
    delete object;
    EXPECT_EQ(actions::representedObject(&item), nullptr);
}

TEST_F(ActionDispatchTest, EmptyingAMenuFromItsOwnItemIsSafe) {
    QWidget window;
    QMenu menu;
    // The chosen item's action empties the menu that holds it.
    class Emptier : public ViewControllerBase {
      public:
        explicit Emptier(QMenu* m) : menu(m) {}
        bool performAction(std::string_view, QObject*) override {
            actions::removeAllItems(menu);
            menu->addAction(actions::makeMenuItem("Exit Full Screen", "x:", menu));
            return true;
        }
        QMenu* menu;
    } emptier(&menu);
    actions::setController(&window, &emptier);
    QPointer<QAction> item = actions::makeMenuItem("MainScreen", "y:", &menu);
    menu.addAction(item);
    item->trigger();
    ASSERT_EQ(menu.actions().size(), 1);
    EXPECT_EQ(menu.actions()[0]->text(), "Exit Full Screen");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(item.isNull());
}

}  // namespace
}  // namespace cliploop::uitest
