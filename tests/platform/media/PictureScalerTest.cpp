// The display scaler: sizes, edges and colours of scaled pictures, and what it refuses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "media/PictureScaler.h"

namespace cliploop {
namespace {

constexpr uint8_t kCanary = 0x5A;

// A BGRA picture with spare bytes at the end of each row, to catch writes past the width.
struct Picture {
    int width, height, bytesPerRow;
    std::vector<uint8_t> bytes;
    Picture(int w, int h) : width(w), height(h), bytesPerRow(w * 4 + 12) {
        bytes.assign(size_t(bytesPerRow) * h, kCanary);
    }
    uint8_t* at(int x, int y) { return bytes.data() + size_t(y) * bytesPerRow + x * 4; }
    void fill(uint32_t (*colour)(int x, int y, int w, int h)) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const uint32_t c = colour(x, y, width, height);
                uint8_t* p = at(x, y);
                p[0] = c & 0xFF;  // blue first, as in memory
                p[1] = (c >> 8) & 0xFF;
                p[2] = (c >> 16) & 0xFF;
                p[3] = 0x80;  // the scaler makes its output opaque whatever comes in
            }
    }
    PictureIn in() const { return {bytes.data(), width, height, bytesPerRow}; }
    PictureOut out() { return {bytes.data(), width, height, bytesPerRow}; }
    bool sparesIntact() const {
        for (int y = 0; y < height; ++y)
            for (int i = width * 4; i < bytesPerRow; ++i)
                if (bytes[size_t(y) * bytesPerRow + i] != kCanary) return false;
        return true;
    }
};

uint32_t teal(int, int, int, int) {
    return 0x4DC80A;  // red 77, green 200, blue 10: every channel its own value
}
uint32_t whiteLeft(int x, int, int w, int) {
    return x < w / 2 ? 0xFFFFFF : 0x000000;
}
uint32_t whiteTop(int, int y, int, int h) {
    return y < h / 2 ? 0xFFFFFF : 0x000000;
}

struct SizeCase {
    int sourceWidth, sourceHeight, targetWidth, targetHeight;
};

class PictureScalerSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(PictureScalerSizes, ASolidColourStaysThatColourOpaqueAndWithinTheRows) {
    const SizeCase c = GetParam();
    Picture source(c.sourceWidth, c.sourceHeight), target(c.targetWidth, c.targetHeight);
    source.fill(teal);
    PictureScaler scaler;
    ASSERT_TRUE(scaler.scale(source.in(), target.out()));
    for (int y = 0; y < target.height; ++y)
        for (int x = 0; x < target.width; ++x) {
            const uint8_t* p = target.at(x, y);
            ASSERT_NEAR(p[0], 10, 1) << x << "," << y;
            ASSERT_NEAR(p[1], 200, 1) << x << "," << y;
            ASSERT_NEAR(p[2], 77, 1) << x << "," << y;
            ASSERT_EQ(p[3], 0xFF) << x << "," << y;
        }
    EXPECT_TRUE(target.sparesIntact());
}

TEST_P(PictureScalerSizes, AnEdgeInTheMiddleStaysInTheMiddle) {
    const SizeCase c = GetParam();
    if (c.targetWidth < 8 || c.targetHeight < 8 || c.sourceWidth < 8 || c.sourceHeight < 8)
        GTEST_SKIP() << "too small to have a middle";
    PictureScaler scaler;
    for (const bool vertical : {false, true}) {
        Picture source(c.sourceWidth, c.sourceHeight), target(c.targetWidth, c.targetHeight);
        source.fill(vertical ? whiteTop : whiteLeft);
        ASSERT_TRUE(scaler.scale(source.in(), target.out()));
        const int extent = vertical ? target.height : target.width;
        // Where the edge falls in the target, from the source's own middle.
        const double edge = double(vertical ? c.sourceHeight / 2 : c.sourceWidth / 2) /
                            (vertical ? c.sourceHeight : c.sourceWidth) * extent;
        for (int across = 0; across < (vertical ? target.width : target.height); ++across)
            for (int along = 0; along < extent; ++along) {
                const uint8_t* p = vertical ? target.at(across, along) : target.at(along, across);
                if (along < edge - 2) {
                    ASSERT_GE(p[1], 250) << along << " vertical " << vertical;
                } else if (along > edge + 2) {
                    ASSERT_LE(p[1], 5) << along << " vertical " << vertical;
                }
            }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PictureScalerSizes,
                         ::testing::Values(SizeCase{1920, 1080, 780, 439},   // a view in the window
                                           SizeCase{1280, 720, 1920, 1080},  // full screen, larger
                                           SizeCase{333, 187, 101, 57},      // odd sizes
                                           SizeCase{64, 36, 63, 35},         // almost the same
                                           SizeCase{1, 1, 1, 1}, SizeCase{1, 1, 33, 17},
                                           SizeCase{17, 33, 1, 1}));

TEST(PictureScaler, RefusesWhatItCannotScaleAndLeavesTheTargetAlone) {
    Picture source(64, 36), target(32, 18);
    source.fill(teal);
    const PictureIn in = source.in();
    const PictureOut out = target.out();
    struct Refused {
        const char* what;
        PictureIn in;
        PictureOut out;
    };
    const int huge = PictureScaler::kMaxSide + 1;
    const Refused cases[] = {
        {"no source pixels", {nullptr, 64, 36, in.bytesPerRow}, out},
        {"no target pixels", in, {nullptr, 32, 18, out.bytesPerRow}},
        {"empty source", {in.pixels, 0, 36, in.bytesPerRow}, out},
        {"negative target", in, {out.pixels, -32, 18, out.bytesPerRow}},
        {"source rows too short", {in.pixels, 64, 36, 64 * 4 - 1}, out},
        {"target rows too short", in, {out.pixels, 32, 18, 32 * 4 - 4}},
        // Sizes are checked before any pixel is touched: these buffers are small.
        {"target too wide", in, {out.pixels, huge, 1, huge * 4}},
        {"target too many pixels", in, {out.pixels, 9000, 9000, 9000 * 4}},
        {"source too tall", {in.pixels, 1, huge, 4}, out},
    };
    PictureScaler scaler;
    for (const Refused& c : cases) {
        EXPECT_FALSE(scaler.scale(c.in, c.out)) << c.what;
        for (uint8_t byte : target.bytes) ASSERT_EQ(byte, kCanary) << c.what;
    }
    EXPECT_TRUE(scaler.scale(in, out));  // and it still works afterwards
}

TEST(PictureScaler, KeepsABoundedNumberOfFilterContexts) {
    Picture source(96, 54);
    source.fill(teal);
    PictureScaler scaler;
    for (int round = 0; round < 2; ++round)
        for (int width = 10; width < 10 + 2 * int(PictureScaler::kMaxContexts); ++width) {
            Picture target(width, 9);
            ASSERT_TRUE(scaler.scale(source.in(), target.out()));
            EXPECT_NEAR(target.at(width - 1, 8)[1], 200, 1);
        }
    EXPECT_EQ(scaler.contextCount(), PictureScaler::kMaxContexts);
}

}  // namespace
}  // namespace cliploop
