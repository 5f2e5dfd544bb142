// A start-up without its preconditions ends with one line.
#include "support/AppFixture.h"

namespace cliploop::apptest {
namespace {

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
