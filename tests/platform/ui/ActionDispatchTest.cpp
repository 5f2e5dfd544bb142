// Menu items that carry an action by name, and the chain of responders that
// delivers it to the first controller that implements it.
#include <QAction>
#include <QMenu>

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

TEST_F(ActionDispatchTest, TheFirstResponderThatImplementsTheActionTakesIt) {
    QWidget outer;
    auto* inner = new QWidget(&outer);
    auto* leaf = new QWidget(inner);
    Responder innerController("exitFullscreenWithSender:");
    Responder outerController("fullScreenWithSender:");
    actions::setController(inner, &innerController);
    actions::setController(&outer, &outerController);

    QMenu menu;
    QAction* item = actions::makeMenuItem("Screen 1", "fullScreenWithSender:", &menu);
    menu.addAction(item);
    EXPECT_EQ(actions::actionOf(item), "fullScreenWithSender:");
    EXPECT_TRUE(item->shortcut().isEmpty());
    EXPECT_EQ(item->text(), "Screen 1");

    EXPECT_TRUE(actions::sendAction("fullScreenWithSender:", item, leaf));
    EXPECT_TRUE(actions::sendAction("exitFullscreenWithSender:", nullptr, leaf));
    EXPECT_FALSE(actions::sendAction("unknownWithSender:", nullptr, leaf));
    ASSERT_EQ(innerController.received.size(), 1u);
    ASSERT_EQ(outerController.received.size(), 1u);
    EXPECT_EQ(outerController.received[0].second, item);
}

TEST_F(ActionDispatchTest, AWidgetOutsideItsWindowNamesItsNextResponder) {
    QWidget window;
    Responder controller("exitFullscreenWithSender:");
    actions::setController(&window, &controller);
    QWidget loose;  // a top-level window of its own, as a full-screen view
    actions::setNextResponder(&loose, &window);
    EXPECT_TRUE(actions::sendAction("exitFullscreenWithSender:", nullptr, &loose));
    EXPECT_EQ(controller.received.size(), 1u);
}

TEST_F(ActionDispatchTest, AControllerOrRepresentedObjectThatIsGoneReadsEmpty) {
    QWidget window;
    auto* controller = new Responder("fullScreenWithSender:");
    actions::setController(&window, controller);
    delete controller;
    EXPECT_EQ(actions::controllerOf(&window), nullptr);
    EXPECT_FALSE(actions::sendAction("fullScreenWithSender:", nullptr, &window));

    QAction item;
    auto* object = new QObject;
    actions::setRepresentedObject(&item, object);
    EXPECT_EQ(actions::representedObject(&item), object);
    delete object;
    EXPECT_EQ(actions::representedObject(&item), nullptr);
}

}  // namespace
}  // namespace cliploop::uitest
