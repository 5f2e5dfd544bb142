// The controller's fields and its start-up through the real interface: what
// holds after viewDidLoad, what other applications see from then on, and
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
    EXPECT_EQ(controller->timer, nullptr);
    EXPECT_EQ(controller->player, nullptr);
    EXPECT_EQ(controller->videoOutput.load(), nullptr);
    EXPECT_EQ(controller->texture, 0u);
    EXPECT_EQ(controller->size.width, 512);
    EXPECT_EQ(controller->size.height, 512);
    EXPECT_EQ(controller->syphonServer, nullptr);
    EXPECT_EQ(controller->context, nullptr);
    EXPECT_FALSE(controller->flag);
    EXPECT_EQ(controller->searchPath.path(), "/");
    EXPECT_EQ(controller->notificationFullscreen, "addMenuExitFullscreen");
    EXPECT_EQ(controller->notificationExitFullscreen, "fullScreenMenuUpdate");
    EXPECT_EQ(controller->notificationDragAndDrop, "DragAndDropNotification");
    EXPECT_TRUE(controller->playerView.isNull());
    EXPECT_TRUE(controller->playerView2.isNull());
    EXPECT_TRUE(controller->searchField.isNull());
    EXPECT_EQ(controller->arrayController, nullptr);
    EXPECT_TRUE(controller->circularIndicator.isNull());
    EXPECT_TRUE(controller->rateField.isNull());
    EXPECT_TRUE(controller->searchPathField.isNull());
}

using StartupTest = InterfaceTest;

TEST_F(StartupTest, SetsEveryLongLivedObject) {
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
    EXPECT_FALSE(controller_->flag);

    // The first output is attached to nothing and has nothing to give.
    const auto output = controller_->videoOutput.load();
    ASSERT_TRUE(output);
    EXPECT_EQ(output->attributes().pixelFormatType, 0x42475241u);
    EXPECT_TRUE(output->attributes().surfaceProperties);
    EXPECT_TRUE(output->attributes().graphicsCompatibility);
    EXPECT_FALSE(output->itemTimeForHostTime(1.0).isValid());
    EXPECT_FALSE(output->hasNewPixelBufferForItemTime(output->itemTimeForHostTime(1.0)));
}

TEST_F(StartupTest, ConnectsTheWindowFields) {
    EXPECT_EQ(controller_->playerView, window_->findChild<VideoView*>("playerView"));
    EXPECT_EQ(controller_->playerView2, window_->findChild<VideoView*>("playerView2"));
    EXPECT_EQ(controller_->searchField, window_->findChild<QLineEdit*>("searchField"));
    EXPECT_EQ(controller_->circularIndicator,
              window_->findChild<QProgressBar*>("circularIndicator"));
    EXPECT_EQ(controller_->rateField, window_->findChild<QLabel*>("rateField"));
    EXPECT_EQ(controller_->searchPathField, window_->findChild<QLabel*>("searchPathField"));
    ASSERT_TRUE(controller_->arrayController);
    EXPECT_EQ(controller_->arrayController->columnKeys(),
              (QStringList{"name", "path", "creationDate"}));
    EXPECT_EQ(window_->findChild<QTableView*>("clipTable")->model(),
              controller_->arrayController.get());
    // Start-up plays nothing and searches nothing.
    EXPECT_EQ(controller_->arrayController->rowCount(), 0);
    EXPECT_EQ(controller_->playerView2->player(), nullptr);
}

TEST_F(StartupTest, AWeakFieldReadsEmptyOnceItsObjectIsGone) {
    delete controller_->rateField.data();
    EXPECT_TRUE(controller_->rateField.isNull());
    // The output view is the controller's own: deleting the controller while
    // the view is full screen (outside the window) takes it along.
    QPointer<VideoView> output = controller_->playerView2;
    ASSERT_TRUE(output->enterFullScreenMode(QGuiApplication::primaryScreen(), {}));
    controller_->timer->cancel();
    loaded_.delegate->viewController.reset();
    loaded_.window->controller.reset();
    loaded_.controller.reset();
    controller_.reset();
    EXPECT_TRUE(output.isNull());
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
    EXPECT_EQ(frame->textureWidth(), 512);
    EXPECT_TRUE(frame->flipped());
    int nonZero = 0;
    for (int y = 0; y < frame->height(); y += 64)
        for (int x = 0; x < 512 * 4; ++x) nonZero += frame->row(y)[x] != 0;
    EXPECT_EQ(nonZero, 0);
    // The pump keeps publishing with no clip.
    const uint64_t first = frame->frameNumber();
    frame.reset();
    ASSERT_TRUE(eventually([&] {
        auto next = client->receiveFrame(std::chrono::milliseconds(10));
        return next && next->frameNumber() > first + 2;
    }));
}

TEST_F(StartupTest, ADropNotificationFromAnySenderStartsTheDroppedClip) {
    const FileUrl clip = makeClip(64, 48, 1.0);
    int stranger = 0;
    NotificationCenter::defaultCenter().post("DragAndDropNotification", &stranger,
                                             std::any(clip.path()));
    EXPECT_EQ(controller_->player->items().size(), 2u);
    ASSERT_TRUE(controller_->player->currentItem());
    EXPECT_EQ(controller_->player->currentItem()->asset()->url(), clip);
}

// A fresh controller on its own widgets, for the preconditions.
struct Bare {
    std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>();
    std::shared_ptr<ViewController> controller = std::make_shared<ViewController>();
    QLabel pathField;
    Bare() {
        application::setDelegate(delegate);
        controller->searchPathField = &pathField;
    }
    ~Bare() {
        if (controller->timer) controller->timer->cancel();
        NotificationCenter::defaultCenter().removeObserver(controller.get());
        delegate->viewController.reset();
        application::setDelegate(nullptr);
    }
};

TEST(StartupPreconditions, ATextureNameAlreadyThereIsKept) {
    application();
    Bare bare;
    bare.controller->texture = 77;
    bare.controller->viewDidLoad();
    EXPECT_EQ(bare.controller->texture, 77u);
    EXPECT_EQ(bare.delegate->viewController, bare.controller);
}

TEST(StartupPreconditionsDeathTest, WithoutTheSearchFolderFieldStartUpEndsWithOneLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    application();
    EXPECT_EXIT(
        {
            Bare bare;
            bare.controller->searchPathField.clear();
            bare.controller->viewDidLoad();
        },
        ::testing::ExitedWithCode(1), "^cliploop: cannot start: the search folder's text field");
}

TEST(StartupPreconditionsDeathTest, WithoutAnAppDelegateStartUpEndsWithOneLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    application();
    EXPECT_EXIT(
        {
            Bare bare;
            application::setDelegate(std::make_shared<ApplicationDelegate>());
            bare.controller->viewDidLoad();
        },
        ::testing::ExitedWithCode(1), "^cliploop: cannot start: the application's delegate");
}

}  // namespace
}  // namespace cliploop::apptest
