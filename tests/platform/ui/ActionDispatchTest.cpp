// Menu items carry an action by name to the first controller on the chain that implements it.
#include <QAction>
#include <QMenu>

#include <algorithm>

#include "support/UiFixture.h"
#include "ui/ActionDispatch.h"
#include "ui/ViewControllerBase.h"

namespace cliploop::uitest {
namespace {

using Received = std::vector<std::pair<std::string, QObject*>>;

struct Responder : ViewControllerBase {
    explicit Responder(std::vector<std::string> implemented)
        : implemented(std::move(implemented)) {}
    bool performAction(std::string_view action, QObject* sender) override {
        if (std::ranges::find(implemented, action) == implemented.end()) return false;
        received.emplace_back(std::string(action), sender);
        return true;
    }
    std::vector<std::string> implemented;
    Received received;
};

TEST(ActionDispatch, TheFirstResponderOnTheChainThatImplementsTheActionTakesIt) {
    application();
    QWidget outer;
    auto* inner = new QWidget(&outer);
    auto* leaf = new QWidget(inner);
    Responder innerController({"exitFullscreenWithSender:"}),
        outerController({"fullScreenWithSender:", "exitFullscreenWithSender:"});
    actions::setController(inner, &innerController);
    actions::setController(&outer, &outerController);

    QMenu menu;
    QAction* item = actions::makeMenuItem("Screen 1", "fullScreenWithSender:", &menu);
    item->trigger();  // no focus and no active window: the window controllers are asked
    EXPECT_EQ(outerController.received, (Received{{"fullScreenWithSender:", item}}));

    EXPECT_TRUE(actions::sendAction("exitFullscreenWithSender:", nullptr, leaf));
    EXPECT_FALSE(actions::sendAction("unknownWithSender:", nullptr, leaf));
    // A widget outside its window (a full-screen view) names its next responder: `inner` first.
    QWidget loose;
    actions::setNextResponder(&loose, leaf);
    EXPECT_TRUE(actions::sendAction("exitFullscreenWithSender:", &menu, &loose));
    EXPECT_EQ(innerController.received, (Received{{"exitFullscreenWithSender:", nullptr},
                                                  {"exitFullscreenWithSender:", &menu}}));
    // A controller that is gone reads empty.
    QWidget alone;
    auto* gone = new Responder({"goneWithSender:"});
    actions::setController(&alone, gone);
    delete gone;
    EXPECT_EQ(actions::controllerOf(&alone), nullptr);
    EXPECT_FALSE(actions::sendAction("goneWithSender:", nullptr, &alone));
}

}  // namespace
}  // namespace cliploop::uitest
