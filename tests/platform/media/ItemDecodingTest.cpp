// Decoding an item's frames: order, exact times, orientation, formats.
#include <gtest/gtest.h>

#include "support/ClipGenerator.h"
#include "support/Pull.h"

namespace cliploop::testing {
namespace {

class ItemDecoding : public ::testing::Test {
  protected:
    std::string make(const std::string& name, const ClipSpec& spec) {
        const std::string path = dir.path(name);
        const std::string error = writeClip(path, spec);
        EXPECT_EQ(error, "") << name;
        return path;
    }
    TempDir dir;
};

TEST_F(ItemDecoding, DeliversEveryFrameInOrderAtItsExactTime) {
    ClipSpec spec;
    spec.frames = 20;
    auto item = itemFor(make("bframes.mp4", spec));
    const auto frames = pullNumbers(*item);
    ASSERT_EQ(frames.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(frames[i].number, i);
        EXPECT_EQ(frames[i].time, (MediaTime{i, 30})) << i;
        EXPECT_EQ(frames[i].width, 64);
    }
    // The end is known exactly once the last frame is out.
    EXPECT_EQ(item->duration(), (MediaTime{20, 30}));
    EXPECT_FALSE(item->failed());
}

TEST_F(ItemDecoding, PixelsAreOpaqueBgraInSurfaces) {
    auto item = itemFor(make("c.mp4", ClipSpec{}));
    const auto frames = pullFrames(*item, 1);
    ASSERT_EQ(frames.size(), 1u);
    const auto& surface = frames[0]->surface();
    EXPECT_EQ(surface->data(), frames[0]->baseAddress());
    EXPECT_GE(surface->fd(), 0);
    // Lower half: dark blue (B high, R low), alpha opaque.
    const uint8_t* p = frames[0]->baseAddress() + 48 * frames[0]->bytesPerRow() + 10 * 4;
    EXPECT_GT(p[0], 60);
    EXPECT_LT(p[2], 40);
    EXPECT_EQ(p[3], 255);
}

TEST_F(ItemDecoding, TwoItemsOfOneAssetDecodeIndependently) {
    ClipSpec spec;
    spec.frames = 6;
    const auto asset = Asset::assetWithURL(FileUrl::fromPath(make("shared.mp4", spec)));
    auto a = PlayerItem::create(asset);
    auto b = PlayerItem::create(asset);
    EXPECT_EQ(pullNumbers(*a).size(), 6u);
    const auto fromB = pullFrames(*b, 1);
    ASSERT_EQ(fromB.size(), 1u);
    EXPECT_EQ(readFrameNumber(*fromB[0]), 0);
}

TEST_F(ItemDecoding, SeekToZeroStartsOverAndDropsFramesDecodedAhead) {
    ClipSpec spec;
    spec.frames = 8;
    auto item = itemFor(make("seek.mp4", spec));
    auto first = pullFrames(*item, 3);
    ASSERT_EQ(first.size(), 3u);
    item->seekToTime(MediaTime::zero());
    const auto again = pullNumbers(*item);
    ASSERT_EQ(again.size(), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(again[i].number, i);
}

TEST_F(ItemDecoding, DisplayRotationIsAppliedAndSizesSwap) {
    struct Case {
        int rotation;
        int width, height;
        int lightX, lightY;  // a point inside the light quarter once upright
    };
    // A 64x32 picture whose top-left quarter is light.
    const Case cases[] = {
        {0, 64, 32, 8, 4}, {90, 32, 64, 28, 8}, {180, 64, 32, 56, 28}, {270, 32, 64, 4, 56}};
    for (const Case& c : cases) {
        ClipSpec spec;
        spec.width = 64;
        spec.height = 32;
        spec.frames = 1;
        spec.pattern = Pattern::Quadrant;
        spec.displayRotation = c.rotation;
        auto item = itemFor(make("turn" + std::to_string(c.rotation) + ".mp4", spec));
        const auto frames = pullFrames(*item);
        ASSERT_EQ(frames.size(), 1u) << c.rotation;
        const PixelBuffer& f = *frames[0];
        EXPECT_EQ(f.width(), c.width) << c.rotation;
        EXPECT_EQ(f.height(), c.height) << c.rotation;
        EXPECT_TRUE(isLight(f, c.lightX, c.lightY)) << c.rotation;
        // The opposite corner is dark.
        EXPECT_FALSE(isLight(f, f.width() - 1 - c.lightX, f.height() - 1 - c.lightY)) << c.rotation;
    }
}

TEST_F(ItemDecoding, TenBit422ProResDecodesToTheSameNumbers) {
    ClipSpec spec;
    spec.codec = "prores_ks";
    spec.pixelFormat = AV_PIX_FMT_YUV422P10LE;
    spec.frames = 5;
    auto item = itemFor(make("prores.mov", spec));
    const auto frames = pullNumbers(*item);
    ASSERT_EQ(frames.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(frames[i].number, i);
}

TEST_F(ItemDecoding, VariableFrameRateKeepsEachFramesOwnTime) {
    ClipSpec spec;
    spec.frames = 6;
    spec.ticks = {0, 3000, 9000, 18000, 21000, 45000};  // 1/90000 s
    auto item = itemFor(make("vfr.mp4", spec));
    const auto frames = pullNumbers(*item);
    ASSERT_EQ(frames.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(frames[i].number, static_cast<int>(i));
        EXPECT_EQ(frames[i].time, MediaTime::fromSeconds(spec.ticks[i] / 90000.0)) << i;
    }
}

TEST_F(ItemDecoding, VideoOfAClipWithSoundPlays) {
    ClipSpec spec;
    spec.frames = 6;
    spec.withAudio = true;
    auto item = itemFor(make("sound.mp4", spec));
    const auto frames = pullNumbers(*item);
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[5].number, 5);
}

}  // namespace
}  // namespace cliploop::testing
