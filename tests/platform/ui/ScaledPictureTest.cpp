// Frames scaled once per frame and size for every view that shows them.
#include <array>
#include <functional>

#include "platform/media/support/MediaTestSupport.h"
#include "support/UiFixture.h"
#include "surface/Surface.h"
#include "ui/ScaledPicture.h"

namespace cliploop::uitest {
namespace {

PixelBufferRef makeFrame(QSize size, const std::function<QRgb(int, int)>& colour) {
    auto surface = Surface::create(size.width(), size.height());
    for (int y = 0; y < size.height(); ++y)  // BGRA bytes: a QRgb on a little-endian machine
        for (int x = 0; x < size.width(); ++x)
            reinterpret_cast<QRgb*>(surface->data() + size_t(y) * surface->bytesPerRow())[x] =
                colour(x, y) | 0xFF000000;
    return std::make_shared<PixelBuffer>(surface, MediaTime::zero());
}
PixelBufferRef solidFrame(QSize size, QRgb colour) {
    return makeFrame(size, [=](int, int) { return colour; });
}

TEST(ScaledPictureCache, KeepsColoursAndEdgesWhereTheyWere) {
    const std::pair<QSize, QSize> cases[] = {
        {{1920, 1080}, {790, 444}},   // frame, then shown: a view in the window
        {{1280, 720}, {1920, 1080}},  // full screen, larger
        {{333, 187}, {101, 57}},      // odd sizes
        {{1, 1}, {33, 17}},          {{17, 33}, {1, 1}},
    };
    for (const auto& [frame, shown] : cases) {
        ScaledPictureCache cache;
        const QImage solid = cache.picture(solidFrame(frame, qRgb(200, 100, 32)), shown);
        QImage expected(shown, solid.format());
        expected.fill(QColor(200, 100, 32));  // channels in their places
        EXPECT_EQ(solid, expected) << frame.width() << " to " << shown.width();
        if (frame.width() < 8 || shown.width() < 8) continue;
        const auto whiteTopLeft = [&](int x, int y) {
            return x < frame.width() / 2 && y < frame.height() / 2 ? qRgb(255, 255, 255) : 0u;
        };
        const QImage quarter = cache.picture(makeFrame(frame, whiteTopLeft), shown);
        const double right = frame.width() / 2 * shown.width() / double(frame.width()),
                     bottom = frame.height() / 2 * shown.height() / double(frame.height());
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x) {
                const int grey = qGreen(quarter.pixel(x, y));
                if (x < right - 2 && y < bottom - 2 ? grey < 250
                                                    : (x > right + 2 || y > bottom + 2) && grey > 5)
                    FAIL() << frame.width() << " to " << shown.width() << " at " << x << "," << y;
            }
    }
}

TEST(ScaledPictureCache, ScalesEachFrameOncePerSizeKeepsAFewAndHoldsNoFrame) {
    ScaledPictureCache cache;
    PixelBufferRef first = solidFrame({320, 180}, qRgb(0, 200, 0));
    const QSize small(160, 90), large(300, 169);
    const QImage a = cache.picture(first, small);
    EXPECT_EQ(cache.picture(first, small).constBits(), a.constBits());  // the same pixels
    cache.picture(first, large);
    PixelBufferRef second = solidFrame({320, 180}, qRgb(0, 40, 0));
    const QImage c = cache.picture(second, small);
    cache.picture(second, small);
    EXPECT_EQ(cache.scalesMade(), 3u);  // once per frame and size; held pictures keep their pixels
    EXPECT_TRUE(qGreen(c.pixel(80, 45)) == 40 && qGreen(a.pixel(80, 45)) == 200);
    cache.picture(first, small);  // only the newest frame of a size is kept
    EXPECT_EQ(cache.scalesMade(), 4u);
    EXPECT_EQ(first.use_count(), 1);  // the cache holds pictures, not frames

    for (int width = 10; width < 20; ++width) cache.picture(second, QSize(width, 6));
    EXPECT_EQ(cache.sizesKept(), ScaledPictureCache::kMaxSizes);
    const quint64 made = cache.scalesMade();
    for (const QSize refused :
         {QSize(0, 6), QSize(ScaledPictureCache::kMaxSide + 1, 6), QSize(9000, 9000)})
        EXPECT_TRUE(cache.picture(second, refused).isNull()) << refused.width();
    EXPECT_TRUE(cache.picture(nullptr, QSize(10, 6)).isNull());
    EXPECT_EQ(cache.scalesMade(), made);
}

// Views in a window with no layout, so that the test sets their sizes.
TEST(ScaledPictureCache, ViewsOfOneSizeShareOneScaleAndAViewOfAnotherSizeMakesItsOwn) {
    application();
    const auto player = QueuePlayer::create();
    player->insertItem(testing::itemFor(testing::clip("views-share.mp4", {320, 180, 150})), {});
    QWidget window;
    window.resize(1000, 400);
    VideoView* views[3];
    for (VideoView*& view : views) (view = new VideoView(&window))->setPlayer(player);
    window.show();
    player->play();
    ASSERT_TRUE(eventually([&] { return views[0]->currentFrame() != nullptr; }));
    player->pause();
    ASSERT_TRUE(eventually([&] {
        const PixelBufferRef frame = views[0]->currentFrame();
        return views[1]->currentFrame() == frame && views[2]->currentFrame() == frame;
    }));
    auto& cache = ScaledPictureCache::shared();
    auto scalesAt = [&](std::array<int, 3> widths) {
        for (int i = 0, x = 0; i < 3; x += widths[i++]) views[i]->setGeometry(x, 0, widths[i], 200);
        const quint64 before = cache.scalesMade(), painted = views[0]->paintedFrames();
        for (int round = 0; round < 2; ++round)
            for (VideoView* view : views) view->repaint();
        EXPECT_GT(views[0]->paintedFrames(), painted);  // painted now, not later
        return cache.scalesMade() - before;
    };
    EXPECT_EQ(scalesAt({201, 201, 201}), 1u);
    EXPECT_EQ(scalesAt({201, 251, 251}), 1u);  // the one left at its size scales as it paints
    EXPECT_EQ(scalesAt({320, 320, 320}), 0u);  // the frame's own size: straight from its surface
    EXPECT_EQ(views[0]->pictureRect(), QRect(0, 10, 320, 180));  // black bars above and below
}

}  // namespace
}  // namespace cliploop::uitest
