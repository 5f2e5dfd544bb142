// The video view: full screen on a chosen screen and back to the same place
// in its layout, and the player's picture scaled to fit with its aspect ratio.
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QScreen>
#include <QTemporaryDir>
#include <QWindow>

#include "foundation/FileUrl.h"
#include "support/UiFixture.h"
#include "ui/ActionDispatch.h"
#include "ui/VideoView.h"
#include "ui/ViewControllerBase.h"

namespace cliploop::uitest {
namespace {

bool fills(VideoView& view, QScreen* screen) {
    return view.isInFullScreenMode() && view.isWindow() && view.windowHandle() &&
           view.windowHandle()->screen() == screen && view.geometry() == screen->geometry() &&
           view.fullScreenScreen() == screen;
}

// Takes the exit action as the window's controller does.
struct ExitController : ViewControllerBase {
    VideoView* view = nullptr;
    bool performAction(std::string_view action, QObject*) override {
        if (action != "exitFullscreenWithSender:") return false;
        view->exitFullScreenModeWithOptions(nullptr);
        return true;
    }
};

TEST(VideoView, GoesFullScreenOnTheChosenScreenAndEscapeBringsItBackToItsPlace) {
    application();
    QWidget window;
    auto* layout = new QHBoxLayout(&window);
    auto* view = new VideoView;
    layout->addWidget(new QWidget, 1);
    layout->addWidget(view, 3, Qt::AlignTop);
    layout->addWidget(new QWidget, 1);
    window.show();
    ExitController controller;
    controller.view = view;
    actions::setController(&window, &controller);

    QScreen* third = QGuiApplication::screens().at(2);
    EXPECT_FALSE(view->enterFullScreenMode(nullptr, {}));
    ASSERT_TRUE(view->enterFullScreenMode(third, {{"NSFullScreenModeAllScreens", false}}));
    EXPECT_TRUE(fills(*view, third));
    EXPECT_EQ(layout->indexOf(view), -1);
    EXPECT_FALSE(view->enterFullScreenMode(QGuiApplication::primaryScreen(), {}));
    EXPECT_TRUE(fills(*view, third));

    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(view, &escape);
    EXPECT_FALSE(view->isInFullScreenMode());
    EXPECT_EQ(view->parentWidget(), &window);
    EXPECT_EQ(layout->indexOf(view), 1);
    EXPECT_EQ(layout->stretch(1), 3);
    EXPECT_EQ(layout->itemAt(1)->alignment(), Qt::AlignTop);
    EXPECT_TRUE(view->isVisible());
    EXPECT_EQ(view->fullScreenScreen(), nullptr);
    view->exitFullScreenModeWithOptions(nullptr);  // not full screen: nothing
    EXPECT_EQ(layout->indexOf(view), 1);
}

TEST(VideoView, AViewWhoseWindowWentAwayStaysAWindowOfItsOwn) {
    application();
    auto window = std::make_unique<QWidget>();
    QPointer<VideoView> view = new VideoView;
    (new QHBoxLayout(window.get()))->addWidget(view);
    ASSERT_TRUE(view->enterFullScreenMode(QGuiApplication::primaryScreen(), {}));
    window.reset();  // the view is not its child now
    ASSERT_FALSE(view.isNull());
    view->exitFullScreenModeWithOptions(nullptr);
    EXPECT_FALSE(view->isInFullScreenMode());
    EXPECT_TRUE(view->isWindow());
    delete view.data();
}

TEST(VideoView, ShowsThePlayersPictureScaledToFitWithItsAspectRatio) {
    application();
    // 320x120 (8:3, wider than the view), green with a white band in its top quarter.
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/clip.mp4";
    const std::string command =
        "ffmpeg -nostdin -loglevel error -f lavfi -i color=c=0x00FF00:s=320x120:d=2 -vf "
        "drawbox=h=ih/4:color=white:t=fill -c:v libx264 -preset ultrafast -pix_fmt yuv420p '" +
        path + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    VideoView view;
    view.resize(400, 400);
    view.show();
    auto player = QueuePlayer::create();
    player->replaceCurrentItemWithPlayerItem(
        PlayerItem::create(Asset::assetWithURL(FileUrl::fromPath(path))));
    view.setPlayer(player);
    player->play();
    ASSERT_TRUE(eventually([&] { return view.paintedFrames() > 0; }));

    EXPECT_EQ(view.pictureRect(), QRect(0, 125, 400, 150));
    const auto near = [](QRgb c, int r, int g, int b) {
        return std::abs(qRed(c) - r) < 60 && std::abs(qGreen(c) - g) < 60 &&
               std::abs(qBlue(c) - b) < 60;
    };
    const QImage shot = view.grab().toImage();
    EXPECT_TRUE(near(shot.pixel(200, 60), 0, 0, 0));         // bar above
    EXPECT_TRUE(near(shot.pixel(200, 340), 0, 0, 0));        // bar below
    EXPECT_TRUE(near(shot.pixel(200, 135), 255, 255, 255));  // the band, on top
    EXPECT_TRUE(near(shot.pixel(200, 250), 0, 255, 0));
    EXPECT_TRUE(near(shot.pixel(3, 250), 0, 255, 0));  // picture edge to edge across

    view.resize(800, 150);  // a wider view: bars left and right
    EXPECT_EQ(view.pictureRect(), QRect(200, 0, 400, 150));
    player->pause();
    view.setPlayer(nullptr);
    EXPECT_TRUE(view.pictureRect().isEmpty());
    EXPECT_TRUE(near(view.grab().toImage().pixel(150, 300), 0, 0, 0));
}

}  // namespace
}  // namespace cliploop::uitest
