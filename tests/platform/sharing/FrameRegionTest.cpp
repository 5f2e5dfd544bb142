// The two ends that keep every read inside a surface: server-side clipping, client-side checks.
#include <gtest/gtest.h>

#include <limits>

#include "sharing/FrameRegion.h"
#include "sharing/client/FrameGeometry.h"

namespace cliploop {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(FrameRegion, ThePublishedExtentAndRegionBecomeWholePixelsInsideTheSurface) {
    using frameregion::Span;
    struct Case {
        const char* what;
        double start, length;
        std::optional<Span> clipped;  // in a surface 100 pixels across
    };
    const Case cases[] = {
        {"inside", 10, 20, Span{10, 20}},
        {"fractions widen outwards", 10.5, 20.25, Span{10, 21}},
        {"partly past the end", 90, 50, Span{90, 10}},
        {"partly before the start", -30, 50, Span{0, 20}},
        {"all around", -1e300, 1e301, Span{0, 100}},
        {"beyond the end", 100, 5, std::nullopt},
        {"before the start", -50, 50, std::nullopt},
        {"zero length", 10, 0, std::nullopt},
        {"zero length between pixels", 10.5, 0, std::nullopt},
        {"negative length", 50, -20, std::nullopt},
        {"end overflows to infinity", 50, std::numeric_limits<double>::max(), Span{50, 50}},
        {"infinite start", -kInf, kInf, std::nullopt},
        {"infinite length", 0, kInf, std::nullopt},
        {"not a number", kNaN, 10, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(frameregion::clipSpan(c.start, c.length, 100), c.clipped) << c.what;

    struct Extent {
        double value;
        std::optional<int32_t> pixels;
    };
    const Extent extents[] = {{512, 512},  {1, 1},     {1.9, 1},    {16384, 16384},
                              {16385, {}}, {0.99, {}}, {0, {}},     {-512, {}},
                              {1e300, {}}, {kInf, {}}, {-kInf, {}}, {kNaN, {}}};
    for (const Extent& e : extents) EXPECT_EQ(frameregion::pixelsOf(e.value), e.pixels) << e.value;
}

TEST(FrameRegion, AClientTakesOnlyAFrameWhoseRegionLiesInsideItsSurface) {
    constexpr int32_t kMax = protocol::kMaxSurfaceDimension;
    constexpr int32_t kBig = std::numeric_limits<int32_t>::max();
    constexpr int32_t kLeast = std::numeric_limits<int32_t>::min();
    struct Case {
        const char* what;
        int32_t surfaceWidth, surfaceHeight, bytesPerRow;
        uint64_t extraBytes;  // beyond bytesPerRow * surfaceHeight
        int32_t x, y, width, height;
        uint32_t flags;
        uint64_t frameNumber;
        bool sound;
    };
    const Case cases[] = {
        {"whole surface", 64, 32, 256, 0, 0, 0, 64, 32, 0, 1, true},
        {"last pixel", 64, 32, 256, 0, 63, 31, 1, 1, 0, 1, true},
        {"padded rows, every known flag", 64, 32, 512, 0, 0, 0, 64, 32, protocol::kKnownFrameFlags,
         1, true},
        {"largest surface", kMax, kMax, kMax * 4, 0, 0, 0, kMax, kMax, 0, 1, true},
        {"one column past the edge", 64, 32, 256, 0, 1, 0, 64, 32, 0, 1, false},
        {"one row past the edge", 64, 32, 256, 0, 0, 1, 64, 32, 0, 1, false},
        {"negative start", 64, 32, 256, 0, -1, 0, 1, 32, 0, 1, false},
        {"negative size", 64, 32, 256, 0, 0, 0, 64, -1, 0, 1, false},
        {"zero width", 64, 32, 256, 0, 0, 0, 0, 32, 0, 1, false},
        {"start and size that wrap", 64, 32, 256, 0, kBig, 0, kBig, 32, 0, 1, false},
        {"least start", 64, 32, 256, 0, 0, kLeast, 64, 32, 0, 1, false},
        {"zero-size surface", 0, 0, 0, 0, 0, 0, 1, 1, 0, 1, false},
        {"negative surface", -64, 32, 256, 0, 0, 0, 1, 1, 0, 1, false},
        {"huge surface", kMax + 1, 32, (kMax + 1) * 4, 0, 0, 0, 64, 32, 0, 1, false},
        {"rows shorter than the width", 64, 32, 255, 0, 0, 0, 64, 32, 0, 1, false},
        {"rows absurdly long", 64, 32, kBig, 0, 0, 0, 64, 32, 0, 1, false},
        {"bytes not rows times height", 64, 32, 256, 1, 0, 0, 64, 32, 0, 1, false},
        {"unknown flag", 64, 32, 256, 0, 0, 0, 64, 32, 1u << 7, 1, false},
        {"frame number zero", 64, 32, 256, 0, 0, 0, 64, 32, 0, 0, false},
    };
    for (const Case& c : cases) {
        protocol::FrameMessage m;
        m.flags = c.flags;
        m.frameNumber = c.frameNumber;
        m.surfaceWidth = c.surfaceWidth;
        m.surfaceHeight = c.surfaceHeight;
        m.bytesPerRow = c.bytesPerRow;
        m.surfaceBytes = static_cast<uint64_t>(c.bytesPerRow) * c.surfaceHeight + c.extraBytes;
        m.regionX = c.x;
        m.regionY = c.y;
        m.regionWidth = c.width;
        m.regionHeight = c.height;
        EXPECT_EQ(protocol::frameGeometryIsSound(m), c.sound) << c.what;
    }
}

}  // namespace
}  // namespace cliploop
