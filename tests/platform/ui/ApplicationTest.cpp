// What counts as a display; actions carried by name to the first controller that implements it.
#include <QWidget>

#include <array>
#include <set>
#include <tuple>

#include "support/UiFixture.h"
#include "ui/ActionDispatch.h"
#include "ui/Application.h"
#include "ui/ViewControllerBase.h"

namespace cliploop::uitest {
namespace {

// Each case runs in a process of its own, and application() sets the platform it needs.
TEST(Application, ADisplayIsAnyOfTheWaysQtCanBeGivenOne) {
    const char* names[] = {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"};
    // Environment, argument (then "offscreen" when argc is 3), argc, whether there is a display.
    const std::tuple<std::array<const char*, 3>, const char*, int, bool> cases[] = {
        {{}, "-platform", 3, true},
        {{}, "-platform", 2, false},  // no name: Qt would try its default platform
        {{}, "-platform=offscreen", 2, true},
        {{}, "-platforms", 3, false},
        {{"", "", ""}, nullptr, 1, false},  // set but empty is no display
        {{nullptr, "", "wayland-0"}, nullptr, 1, true},
        {{"offscreen"}, nullptr, 1, true},
    };
    for (const auto& row : cases) {
        const auto& [environment, given, argc, available] = row;
        for (int i = 0; i < 3; ++i)
            environment[i] ? setenv(names[i], environment[i], 1) : unsetenv(names[i]);
        char name[] = "cliploop", platform[] = "offscreen";
        std::string argument = given ? given : "";
        char* argv[] = {name, argument.data(), platform, nullptr};
        EXPECT_EQ(application::displayAvailable(argc, argv), available) << "row " << &row - cases;
    }
}

struct Responder : ViewControllerBase {
    explicit Responder(std::set<std::string, std::less<>> takes) : takes(std::move(takes)) {}
    bool performAction(std::string_view action, QObject* sender) override {
        return takes.contains(action) && (received.emplace_back(action, sender), true);
    }
    std::set<std::string, std::less<>> takes;
    std::vector<std::pair<std::string, QObject*>> received;
};
using Received = decltype(Responder::received);

TEST(ActionDispatch, TheFirstResponderOnTheChainThatImplementsTheActionTakesIt) {
    application();
    QWidget outer;
    auto* inner = new QWidget(&outer);
    auto* leaf = new QWidget(inner);
    Responder innerController({"exitFullscreenWithSender:"}),
        outerController({"fullScreenWithSender:", "exitFullscreenWithSender:"});
    actions::setController(inner, &innerController);
    actions::setController(&outer, &outerController);

    EXPECT_FALSE(actions::sendAction("unknownWithSender:", nullptr, leaf));
    QWidget loose;  // outside its window, as a full-screen view
    actions::setNextResponder(&loose, leaf);
    EXPECT_TRUE(actions::sendAction("exitFullscreenWithSender:", &outer, &loose));
    EXPECT_TRUE(actions::sendAction("fullScreenWithSender:", &outer, &loose));
    EXPECT_EQ(innerController.received, (Received{{"exitFullscreenWithSender:", &outer}}));
    EXPECT_EQ(outerController.received, (Received{{"fullScreenWithSender:", &outer}}));
    auto* gone = new Responder({"goneWithSender:"});
    actions::setController(&loose, gone);
    delete gone;  // reads empty now
    EXPECT_FALSE(actions::sendAction("goneWithSender:", nullptr, &loose));
}

}  // namespace
}  // namespace cliploop::uitest
