// The video view: full screen on a chosen screen and back to the same place
// in its layout, and the player's picture scaled to fit with its aspect ratio.
#include <QGridLayout>
#include <QHBoxLayout>
#include <QScreen>
#include <QTemporaryDir>
#include <QWindow>

#include "foundation/FileUrl.h"
#include "support/UiFixture.h"
#include "ui/VideoView.h"

namespace cliploop::uitest {
namespace {

class VideoViewTest : public ::testing::Test {
  protected:
    void SetUp() override { application(); }

    static bool fills(VideoView& view, QScreen* screen) {
        return view.isInFullScreenMode() && view.isWindow() && view.windowHandle() &&
               view.windowHandle()->screen() == screen && view.geometry() == screen->geometry() &&
               view.fullScreenScreen() == screen;
    }
};

TEST_F(VideoViewTest, GoesFullScreenOnTheChosenScreenAndBackToItsPlaceInABoxLayout) {
    QWidget window;
    auto* layout = new QHBoxLayout(&window);
    auto* left = new QWidget;
    auto* view = new VideoView;
    auto* right = new QWidget;
    layout->addWidget(left, 1);
    layout->addWidget(view, 3, Qt::AlignTop);
    layout->addWidget(right, 1);
    window.show();

    QScreen* third = QGuiApplication::screens().at(2);
    EXPECT_FALSE(view->enterFullScreenMode(nullptr, {}));
    ASSERT_TRUE(view->enterFullScreenMode(third, {{"NSFullScreenModeAllScreens", false}}));
    EXPECT_TRUE(fills(*view, third));
    EXPECT_EQ(layout->indexOf(view), -1);
    EXPECT_FALSE(view->enterFullScreenMode(QGuiApplication::primaryScreen(), {}));
    EXPECT_TRUE(fills(*view, third));

    view->exitFullScreenModeWithOptions(nullptr);
    EXPECT_FALSE(view->isInFullScreenMode());
    EXPECT_FALSE(view->isWindow());
    EXPECT_EQ(view->parentWidget(), &window);
    EXPECT_EQ(layout->indexOf(view), 1);
    EXPECT_EQ(layout->stretch(1), 3);
    EXPECT_EQ(layout->itemAt(1)->alignment(), Qt::AlignTop);
    EXPECT_TRUE(view->isVisible());
    EXPECT_EQ(view->fullScreenScreen(), nullptr);

    view->exitFullScreenModeWithOptions(nullptr);  // not full screen: nothing
    EXPECT_EQ(view->parentWidget(), &window);

    // And to its cell in a grid.
    QWidget other;
    auto* grid = new QGridLayout(&other);
    grid->addWidget(new QWidget, 0, 0);
    auto* cell = new VideoView;
    grid->addWidget(cell, 1, 0, 1, 2);
    other.show();
    ASSERT_TRUE(cell->enterFullScreenMode(QGuiApplication::screens().at(1), {}));
    cell->exitFullScreenModeWithOptions(nullptr);
    int row, column, rowSpan, columnSpan;
    grid->getItemPosition(grid->indexOf(cell), &row, &column, &rowSpan, &columnSpan);
    EXPECT_EQ(std::tuple(row, column, rowSpan, columnSpan), std::tuple(1, 0, 1, 2));
}

TEST_F(VideoViewTest, AViewWhoseWindowWentAwayStaysAWindowOfItsOwn) {
    auto window = std::make_unique<QWidget>();
    auto* layout = new QHBoxLayout(window.get());
    QPointer<VideoView> view = new VideoView;
    layout->addWidget(view);
    ASSERT_TRUE(view->enterFullScreenMode(QGuiApplication::primaryScreen(), {}));
    window.reset();  // the view is not its child now
    ASSERT_FALSE(view.isNull());
    view->exitFullScreenModeWithOptions(nullptr);
    EXPECT_FALSE(view->isInFullScreenMode());
    EXPECT_TRUE(view->isWindow());
    delete view.data();
}

// A clip of `width` x `height`: green with a white band in its top quarter.
FileUrl makeClip(int width, int height) {
    static QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/clip-" + std::to_string(width) + "x" +
                             std::to_string(height) + ".mp4";
    const std::string command =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i color=c=0x00FF00:s=" +
        std::to_string(width) + "x" + std::to_string(height) +
        ":r=30:d=2 -vf \"drawbox=x=0:y=0:w=iw:h=ih/4:color=white:t=fill\" -c:v libx264 -preset "
        "ultrafast -pix_fmt yuv420p '" +
        path + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return FileUrl::fromPath(path);
}

bool isBlack(QRgb c) {
    return qRed(c) < 30 && qGreen(c) < 30 && qBlue(c) < 30;
}
bool isGreen(QRgb c) {
    return qRed(c) < 80 && qGreen(c) > 180 && qBlue(c) < 80;
}
bool isWhite(QRgb c) {
    return qRed(c) > 200 && qGreen(c) > 200 && qBlue(c) > 200;
}

TEST_F(VideoViewTest, ShowsThePlayersPictureScaledToFitWithItsAspectRatio) {
    const FileUrl clip = makeClip(320, 120);  // 8:3, wider than the view
    VideoView view;
    view.resize(400, 400);
    view.show();
    auto player = QueuePlayer::create();
    auto item = PlayerItem::create(Asset::assetWithURL(clip));
    player->replaceCurrentItemWithPlayerItem(item);
    view.setPlayer(player);
    player->play();
    ASSERT_TRUE(eventually([&] { return view.paintedFrames() > 0; }));

    EXPECT_EQ(view.pictureRect(), QRect(0, 125, 400, 150));
    const QImage shot = view.grab().toImage();
    EXPECT_TRUE(isBlack(shot.pixel(200, 60)));   // bar above
    EXPECT_TRUE(isBlack(shot.pixel(200, 340)));  // bar below
    EXPECT_TRUE(isWhite(shot.pixel(200, 135)));  // the band, on top
    EXPECT_TRUE(isGreen(shot.pixel(200, 250)));
    EXPECT_TRUE(isGreen(shot.pixel(3, 250)));  // picture edge to edge across

    // A narrower, taller view: the picture follows the width.
    view.resize(300, 600);
    QCoreApplication::processEvents();
    EXPECT_EQ(view.pictureRect(), QRect(0, 244, 300, 112));

    player->pause();
    view.setPlayer(nullptr);
    EXPECT_TRUE(view.pictureRect().isEmpty());
    EXPECT_TRUE(isBlack(view.grab().toImage().pixel(150, 300)));
}

}  // namespace
}  // namespace cliploop::uitest
