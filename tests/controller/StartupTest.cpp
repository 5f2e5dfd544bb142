// Start-up through the real interface (the frame server: FramePumpTest), and
// how one without its preconditions ends.
#include "support/AppFixture.h"

namespace cliploop::apptest {
namespace {

using StartupTest = InterfaceTest;

TEST_F(StartupTest, ConnectsTheWindowAndTheDelegate) {
    EXPECT_EQ(controller_->searchPathField->text(), "Search from directory: " + QDir::homePath());
    EXPECT_EQ(loaded_.delegate->viewController, controller_);
    const QObject* outlets[] = {controller_->playerView,  controller_->playerView2,
                                controller_->searchField, controller_->circularIndicator,
                                controller_->rateField,   controller_->searchPathField};
    const char* names[] = {"playerView",        "playerView2", "searchField",
                           "circularIndicator", "rateField",   "searchPathField"};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(outlets[i], window_->findChild<QObject*>(names[i])) << i;
    EXPECT_EQ(window_->findChild<QTableView*>("clipTable")->model(),
              controller_->arrayController.get());
    EXPECT_EQ(controller_->playerView2->player(), nullptr);  // plays nothing yet
}

TEST(StartupPreconditionsDeathTest, WithoutTheFieldOrTheDelegateStartUpEndsWithOneLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    application();
    auto start = [](bool withField) {
        auto controller = std::make_shared<ViewController>();
        QLabel pathField;
        if (withField) controller->searchPathField = &pathField;
        application::setDelegate(withField ? std::make_shared<ApplicationDelegate>()
                                           : std::make_shared<AppDelegate>());
        controller->viewDidLoad();
    };
    EXPECT_EXIT(start(false), ::testing::ExitedWithCode(1),
                "^cliploop: cannot start: the search folder's text field");
    EXPECT_EXIT(start(true), ::testing::ExitedWithCode(1),
                "^cliploop: cannot start: the application's delegate");
}

}  // namespace
}  // namespace cliploop::apptest
