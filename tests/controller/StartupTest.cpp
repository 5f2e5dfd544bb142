// The controller's fields and its start-up through the real interface, and
// how a start-up without its preconditions ends.
#include <QLabel>
#include <QTableView>

#include "cliploop/FrameClient.h"
#include "support/AppFixture.h"

namespace cliploop::apptest {
namespace {

TEST(ViewControllerFields, TakeTheirInitialValuesAtConstruction) {
    application();
    auto controller = std::make_shared<ViewController>();
    EXPECT_TRUE(controller->whitespaceSet.contains(U' '));
    EXPECT_TRUE(controller->whitespaceSet.contains(U'\t'));
    EXPECT_FALSE(controller->whitespaceSet.contains(U'\n'));
    EXPECT_EQ(controller->videoOutput.load(), nullptr);
    EXPECT_EQ(controller->texture, 0u);
    EXPECT_EQ(controller->size.width, 512);
    EXPECT_EQ(controller->size.height, 512);
    EXPECT_FALSE(controller->flag);
    EXPECT_EQ(controller->searchPath.path(), "/");
    EXPECT_EQ(controller->notificationFullscreen, "addMenuExitFullscreen");
    EXPECT_EQ(controller->notificationExitFullscreen, "fullScreenMenuUpdate");
    EXPECT_EQ(controller->notificationDragAndDrop, "DragAndDropNotification");
}

using StartupTest = InterfaceTest;

TEST_F(StartupTest, SetsEveryLongLivedObjectAndConnectsTheWindow) {
    EXPECT_EQ(controller_->searchPath.path(), QDir::homePath().toStdString());
    EXPECT_EQ(controller_->searchPathField->text(), "Search from directory: " + QDir::homePath());
    EXPECT_NE(controller_->texture, 0u);
    ASSERT_TRUE(controller_->context);
    ASSERT_TRUE(controller_->syphonServer);
    EXPECT_EQ(controller_->syphonServer->name(), "Video");
    ASSERT_TRUE(controller_->player);
    EXPECT_TRUE(controller_->player->items().empty());
    ASSERT_TRUE(controller_->timer);
    EXPECT_TRUE(controller_->timer->isRunning());
    EXPECT_EQ(loaded_.delegate->viewController, controller_);
    // The first output is attached to nothing and has nothing to give.
    const auto output = controller_->videoOutput.load();
    ASSERT_TRUE(output);
    EXPECT_EQ(output->attributes().pixelFormatType, 0x42475241u);
    EXPECT_FALSE(output->hasNewPixelBufferForItemTime(output->itemTimeForHostTime(1.0)));

    EXPECT_EQ(controller_->playerView, window_->findChild<VideoView*>("playerView"));
    EXPECT_EQ(controller_->playerView2, window_->findChild<VideoView*>("playerView2"));
    EXPECT_EQ(controller_->searchField, window_->findChild<QLineEdit*>("searchField"));
    EXPECT_EQ(controller_->circularIndicator,
              window_->findChild<QProgressBar*>("circularIndicator"));
    EXPECT_EQ(controller_->rateField, window_->findChild<QLabel*>("rateField"));
    ASSERT_TRUE(controller_->arrayController);
    EXPECT_EQ(controller_->arrayController->columnKeys(),
              (QStringList{"name", "path", "creationDate"}));
    EXPECT_EQ(window_->findChild<QTableView*>("clipTable")->model(),
              controller_->arrayController.get());
    EXPECT_EQ(controller_->playerView2->player(), nullptr);  // plays nothing yet
}

TEST_F(StartupTest, OtherApplicationsSeeTheServerAndBlank512By512FramesAtOnce) {
    std::string error;
    auto client = FrameClient::connect("Video", getpid(), &error);
    ASSERT_TRUE(client) << error;
    std::optional<Frame> frame;
    ASSERT_TRUE(eventually([&] {
        frame = client->receiveFrame(std::chrono::milliseconds(10));
        return frame.has_value();
    }));
    EXPECT_EQ(frame->width(), 512);
    EXPECT_EQ(frame->height(), 512);
    EXPECT_TRUE(frame->flipped());
    int nonZero = 0;
    for (int y = 0; y < frame->height(); y += 64)
        for (int x = 0; x < 512 * 4; ++x) nonZero += frame->row(y)[x] != 0;
    EXPECT_EQ(nonZero, 0);
    const uint64_t first = frame->frameNumber();  // the pump goes on with no clip
    ASSERT_TRUE(eventually([&] {
        auto next = client->receiveFrame(std::chrono::milliseconds(10));
        return next && next->frameNumber() > first + 2;
    }));
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
