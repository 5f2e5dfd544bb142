// Decoding an item's frames: order, exact times, formats, orientation, seeking.
// ctest-labels: concurrency
#include <gtest/gtest.h>

#include "support/ClipGenerator.h"
#include "support/Pull.h"

namespace cliploop::testing {
namespace {

TEST(ItemDecoding, EveryFrameComesInOrderAtItsOwnTimeAsOpaqueBgraInASurface) {
    const std::vector<int64_t> vfr = {0, 3000, 9000, 18000, 21000, 24000};  // 1/90000 s
    const std::pair<const char*, ClipRecipe> cases[] = {
        {"bframes.mp4", {.frames = 20}},
        {"prores422_10bit.mov",
         {.frames = 5, .codec = "prores_ks", .pixelFormat = AV_PIX_FMT_YUV422P10LE}},
        {"sound.mp4", {.frames = 6, .withAudio = true}},
        {"vfr.mp4", {.frames = 6, .ticks = vfr}},
    };
    for (const auto& [name, recipe] : cases) {
        auto item = itemFor(clip(name, recipe));
        const auto frames = pullNumbers(*item, 1000, [&](const PixelBuffer& f) {
            EXPECT_EQ(f.surface()->data(), f.baseAddress());
            EXPECT_GE(f.surface()->fd(), 0);
            // Lower half: dark blue (B high, R low), opaque.
            const uint8_t* p = f.baseAddress() + 48 * f.bytesPerRow() + 10 * 4;
            EXPECT_GT(p[0], 60) << name;
            EXPECT_LT(p[2], 40) << name;
            EXPECT_EQ(p[3], 255) << name;
        });
        ASSERT_EQ(frames.size(), static_cast<size_t>(recipe.frames)) << name;
        for (int i = 0; i < recipe.frames; ++i) {
            EXPECT_EQ(frames[i].number, i) << name;
            EXPECT_EQ(frames[i].width, 64) << name;
            EXPECT_EQ(frames[i].time, recipe.ticks.empty()
                                          ? (MediaTime{i, 30})
                                          : MediaTime::fromSeconds(recipe.ticks[i] / 90000.0))
                << name << " " << i;
        }
        // The end is known exactly once the last frame is out.
        if (recipe.ticks.empty()) {
            EXPECT_EQ(item->duration(), (MediaTime{recipe.frames, 30})) << name;
        } else {  // the last frame lasts as long as its packet says
            EXPECT_GT(item->duration().seconds(), 24000 / 90000.0);
            EXPECT_LE(item->duration().seconds(), 24000 / 90000.0 + 1 / 15.0);
        }
        EXPECT_FALSE(item->failed()) << name;
    }
}

TEST(ItemDecoding, ItemsOfOneAssetAreIndependentAndSeekToZeroStartsOver) {
    const auto asset = Asset::assetWithURL(FileUrl::fromPath(clip("a.mp4", {.frames = 8})));
    auto a = PlayerItem::create(asset);
    auto b = PlayerItem::create(asset);
    ASSERT_EQ(pullNumbers(*a, 3).size(), 3u);
    // Frames a decoded ahead are dropped, and so is its end once reached.
    for (int round = 0; round < 2; ++round) {
        a->seekToTime(MediaTime::zero());
        const auto again = pullNumbers(*a);
        ASSERT_EQ(again.size(), 8u);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(again[i].number, i);
    }
    const auto fromB = pullNumbers(*b);
    ASSERT_EQ(fromB.size(), 8u);
    EXPECT_EQ(fromB[0].number, 0);
}

TEST(ItemDecoding, DisplayRotationIsAppliedAndSizesSwap) {
    struct Case {
        int rotation, width, height;
        int lightX, lightY;  // inside the light quarter once upright
    };
    // A 64x32 picture whose top-left quarter is light.
    const Case cases[] = {
        {0, 64, 32, 8, 4}, {90, 32, 64, 28, 8}, {180, 64, 32, 56, 28}, {270, 32, 64, 4, 56}};
    for (const Case& c : cases) {
        const ClipRecipe recipe{
            .height = 32, .frames = 1, .displayRotation = c.rotation, .pattern = Pattern::Quadrant};
        auto item = itemFor(clip("turn" + std::to_string(c.rotation) + ".mp4", recipe));
        int seen = 0;
        pullNumbers(*item, 1, [&](const PixelBuffer& f) {
            ++seen;
            EXPECT_EQ(f.width(), c.width) << c.rotation;
            EXPECT_EQ(f.height(), c.height) << c.rotation;
            EXPECT_TRUE(isLight(f, c.lightX, c.lightY)) << c.rotation;
            EXPECT_FALSE(isLight(f, f.width() - 1 - c.lightX, f.height() - 1 - c.lightY))
                << c.rotation;
        });
        EXPECT_EQ(seen, 1) << c.rotation;
    }
}

}  // namespace
}  // namespace cliploop::testing
