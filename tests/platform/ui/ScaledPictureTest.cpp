// Frames scaled once per frame and size for every view that shows them.
#include <QPointer>
#include <array>
#include <cstring>

#include "platform/media/support/MediaTestSupport.h"
#include "support/UiFixture.h"
#include "surface/Surface.h"
#include "ui/ScaledPicture.h"

namespace cliploop::uitest {
namespace {

PixelBufferRef solidFrame(int width, int height, uint8_t green) {
    auto surface = Surface::create(width, height);
    if (!surface) return nullptr;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = surface->data() + size_t(y) * surface->bytesPerRow() + x * 4;
            p[0] = 0, p[1] = green, p[2] = 0, p[3] = 0xFF;
        }
    return std::make_shared<PixelBuffer>(surface, MediaTime::zero());
}

// Left half white, right half black (or top and bottom).
PixelBufferRef halvedFrame(int width, int height, bool vertical) {
    auto surface = Surface::create(width, height);
    if (!surface) return nullptr;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool white = vertical ? y < height / 2 : x < width / 2;
            std::memset(surface->data() + size_t(y) * surface->bytesPerRow() + x * 4,
                        white ? 0xFF : 0x00, 4);
        }
    return std::make_shared<PixelBuffer>(surface, MediaTime::zero());
}

TEST(ScaledPictureCache, KeepsColoursAndEdgesWhereTheyWere) {
    struct Case {
        QSize frame, shown;
    };
    const Case cases[] = {
        {{1920, 1080}, {790, 444}},   // a view in the window
        {{1280, 720}, {1920, 1080}},  // full screen, larger
        {{333, 187}, {101, 57}},      // odd sizes
        {{1, 1}, {33, 17}},          {{17, 33}, {1, 1}},
    };
    for (const Case& c : cases) {
        ScaledPictureCache cache;
        const QImage solid =
            cache.picture(solidFrame(c.frame.width(), c.frame.height(), 200), c.shown);
        ASSERT_EQ(solid.size(), c.shown);
        for (int y = 0; y < c.shown.height(); ++y)
            for (int x = 0; x < c.shown.width(); ++x)
                ASSERT_EQ(solid.pixel(x, y), qRgb(0, 200, 0)) << x << "," << y;
        if (c.frame.width() < 8 || c.shown.width() < 8) continue;
        for (const bool vertical : {false, true}) {
            const QImage halves =
                cache.picture(halvedFrame(c.frame.width(), c.frame.height(), vertical), c.shown);
            const int extent = vertical ? c.shown.height() : c.shown.width();
            const int sourceExtent = vertical ? c.frame.height() : c.frame.width();
            const double edge = double(sourceExtent / 2) / sourceExtent * extent;
            for (int across = 0; across < (vertical ? c.shown.width() : c.shown.height()); ++across)
                for (int along = 0; along < extent; ++along) {
                    const int grey = qGreen(vertical ? halves.pixel(across, along)
                                                     : halves.pixel(along, across));
                    if (along < edge - 2) {
                        ASSERT_GE(grey, 250) << along << " vertical " << vertical;
                    } else if (along > edge + 2) {
                        ASSERT_LE(grey, 5) << along << " vertical " << vertical;
                    }
                }
        }
    }
}

TEST(ScaledPictureCache, ScalesEachFrameOncePerSizeAndHoldsNoFrame) {
    ScaledPictureCache cache;
    PixelBufferRef first = solidFrame(320, 180, 200);
    const QSize small(160, 90), large(300, 169);

    const QImage a = cache.picture(first, small);
    const QImage b = cache.picture(first, small);
    EXPECT_EQ(cache.scalesMade(), 1u);
    EXPECT_EQ(a.constBits(), b.constBits());  // the same pixels, not a copy
    EXPECT_EQ(a.size(), small);
    EXPECT_EQ(qGreen(a.pixel(80, 45)), 200);
    cache.picture(first, large);
    EXPECT_EQ(cache.scalesMade(), 2u);

    // A new frame: once more per size. The picture of the old frame, still
    // held, keeps its own pixels.
    PixelBufferRef second = solidFrame(320, 180, 40);
    const QImage c = cache.picture(second, small);
    cache.picture(second, small);
    EXPECT_EQ(cache.scalesMade(), 3u);
    EXPECT_EQ(qGreen(c.pixel(80, 45)), 40);
    EXPECT_EQ(qGreen(a.pixel(80, 45)), 200);
    // Only the newest frame of a size is kept.
    cache.picture(first, small);
    EXPECT_EQ(cache.scalesMade(), 4u);

    const std::weak_ptr<PixelBuffer> gone = first;
    first.reset();
    EXPECT_TRUE(gone.expired());
}

TEST(ScaledPictureCache, KeepsAFewSizesAndRefusesNoneOfItsBusiness) {
    ScaledPictureCache cache;
    const PixelBufferRef frame = solidFrame(64, 36, 90);
    for (int width = 10; width < 20; ++width) cache.picture(frame, QSize(width, 6));
    EXPECT_EQ(cache.sizesKept(), ScaledPictureCache::kMaxSizes);
    const quint64 made = cache.scalesMade();
    EXPECT_TRUE(cache.picture(nullptr, QSize(10, 6)).isNull());
    EXPECT_TRUE(cache.picture(frame, QSize(0, 6)).isNull());
    EXPECT_TRUE(cache.picture(frame, QSize(ScaledPictureCache::kMaxSide + 1, 6)).isNull());
    EXPECT_TRUE(cache.picture(frame, QSize(9000, 9000)).isNull());
    EXPECT_EQ(cache.scalesMade(), made);
}

// Views in a window with no layout, so that a test sets their sizes.
struct ThreeViews {
    QWidget window;
    VideoView* views[3];
    ThreeViews() {
        window.resize(1000, 400);
        for (VideoView*& view : views) view = new VideoView(&window);
        window.show();
    }
    void place(std::array<int, 3> widths) {
        int x = 0;
        for (int i = 0; i < 3; ++i) {
            views[i]->setGeometry(x, 0, widths[i], 200);
            x += widths[i];
        }
    }
    bool showOneFrame() const {
        const PixelBufferRef frame = views[0]->currentFrame();
        return frame && views[1]->currentFrame() == frame && views[2]->currentFrame() == frame;
    }
    void repaintAll() {
        for (VideoView* view : views) view->repaint();
    }
};

// Black bars around the picture rectangle, and the clip's blue lower half inside it.
::testing::AssertionResult paintedInItsRect(VideoView& view) {
    const QImage shot = view.grab().toImage();
    const QRect picture = view.pictureRect();
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const QRgb pixel = shot.pixel(x, y);
            if (!picture.contains(x, y) && pixel != qRgb(0, 0, 0))
                return ::testing::AssertionFailure() << "bar not black at " << x << "," << y;
        }
    const int y = picture.top() + picture.height() * 3 / 4;
    for (int x = picture.left(); x <= picture.right(); ++x)
        if (qBlue(shot.pixel(x, y)) < 40)
            return ::testing::AssertionFailure() << "no picture at " << x << "," << y;
    return ::testing::AssertionSuccess();
}

TEST(ScaledPictureCache, ViewsOfOneSizeShowingOneFrameScaleItOnce) {
    application();
    const std::string path = testing::clip("views-share.mp4", {320, 180, 150});
    const auto player = QueuePlayer::create();
    player->insertItem(testing::itemFor(path), nullptr);
    ThreeViews three;
    three.place({200, 200, 300});
    for (VideoView* view : three.views) view->setPlayer(player);
    ASSERT_TRUE(eventually([&] { return three.window.windowHandle()->isExposed(); }));
    player->play();

    auto& cache = ScaledPictureCache::shared();
    PixelBufferRef shown;
    // Two frames, at sizes never used before each time, repainted without
    // the loop running in between, so that nothing else scales meanwhile.
    for (const int width : {201, 203}) {
        player->pause();
        ASSERT_TRUE(eventually([&] { return three.showOneFrame(); }));
        EXPECT_NE(three.views[0]->currentFrame(), shown);  // a new frame each time
        shown = three.views[0]->currentFrame();
        // The three of one size: one scale, however often they paint.
        three.place({width, width, width});
        const quint64 before = cache.scalesMade();
        const quint64 painted = three.views[0]->paintedFrames();
        three.repaintAll();
        three.repaintAll();
        ASSERT_GT(three.views[0]->paintedFrames(), painted);  // painted now, not later
        EXPECT_EQ(cache.scalesMade(), before + 1);
        // Two of another size: their own picture. The one left alone at its
        // size scales as it paints.
        three.place({width, width + 50, width + 50});
        three.repaintAll();
        three.repaintAll();
        EXPECT_EQ(cache.scalesMade(), before + 2);
        EXPECT_EQ(cache.viewsAt(QSize(width, width * 180 / 320)), 1);
        EXPECT_TRUE(paintedInItsRect(*three.views[0]));  // alone at its size
        EXPECT_TRUE(paintedInItsRect(*three.views[1]));  // from the shared picture
        player->play();
        const PixelBufferRef frame = shown;
        ASSERT_TRUE(eventually([&] { return three.views[0]->currentFrame() != frame; }));
    }
}

TEST(ScaledPictureCache, AFrameOfTheSizeShownIsPaintedStraightFromItsSurface) {
    application();
    const std::string path = testing::clip("views-same-size.mp4", {160, 90, 30});
    const auto player = QueuePlayer::create();
    player->insertItem(testing::itemFor(path), nullptr);
    QWidget window;
    auto* view = new VideoView(&window);
    view->setGeometry(0, 0, 160, 90);
    window.show();
    view->setPlayer(player);
    player->play();
    ASSERT_TRUE(eventually([&] { return view->currentFrame() != nullptr; }));
    player->pause();
    const quint64 before = ScaledPictureCache::shared().scalesMade();
    const quint64 painted = view->paintedFrames();
    view->repaint();
    EXPECT_GT(view->paintedFrames(), painted);
    EXPECT_EQ(view->pictureRect(), QRect(0, 0, 160, 90));
    EXPECT_EQ(ScaledPictureCache::shared().scalesMade(), before);
}

}  // namespace
}  // namespace cliploop::uitest
