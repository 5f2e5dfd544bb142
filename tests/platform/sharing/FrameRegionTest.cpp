// The server's clipping of published regions and the client's check of the
// geometry it is sent: the two ends that keep every read inside a surface.
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
        {"whole", 0, 100, Span{0, 100}},
        {"fractions widen outwards", 10.5, 20.25, Span{10, 21}},
        {"partly past the end", 90, 50, Span{90, 10}},
        {"partly before the start", -30, 50, Span{0, 20}},
        {"all around", -1e300, 1e301, Span{0, 100}},
        {"beyond the end", 100, 5, std::nullopt},
        {"before the start", -50, 50, std::nullopt},
        {"zero length", 10, 0, std::nullopt},
        {"zero length between pixels", 10.5, 0, std::nullopt},
        {"negative length", 50, -20, std::nullopt},
        {"far beyond", 1e300, 1e300, std::nullopt},
        {"end overflows to infinity", 50, std::numeric_limits<double>::max(), Span{50, 50}},
        {"infinite start", -kInf, kInf, std::nullopt},
        {"infinite length", 0, kInf, std::nullopt},
        {"not a number", kNaN, 10, std::nullopt},
        {"length not a number", 0, kNaN, std::nullopt},
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
    using protocol::FrameMessage;
    constexpr int32_t kMax = protocol::kMaxSurfaceDimension;
    constexpr int32_t kBig = std::numeric_limits<int32_t>::max();
    // A 64 by 32 surface of 256-byte rows, all of it published.
    auto sound = [] {
        FrameMessage m;
        m.frameNumber = 1;
        m.surfaceWidth = 64;
        m.surfaceHeight = 32;
        m.bytesPerRow = 256;
        m.surfaceBytes = 256 * 32;
        m.regionWidth = 64;
        m.regionHeight = 32;
        return m;
    };
    struct Case {
        const char* what;
        void (*change)(FrameMessage&);
        bool sound;
    };
    const Case cases[] = {
        {"whole surface", [](FrameMessage&) {}, true},
        {"inside",
         [](FrameMessage& m) {
             m.regionX = 8;
             m.regionY = 4;
             m.regionWidth = 16;
             m.regionHeight = 8;
         },
         true},
        {"last pixel",
         [](FrameMessage& m) {
             m.regionX = 63;
             m.regionY = 31;
             m.regionWidth = m.regionHeight = 1;
         },
         true},
        {"padded rows",
         [](FrameMessage& m) {
             m.bytesPerRow = 512;
             m.surfaceBytes = 512 * 32;
         },
         true},
        {"largest surface",
         [](FrameMessage& m) {
             m.surfaceWidth = m.surfaceHeight = kMax;
             m.bytesPerRow = kMax * 4;
             m.surfaceBytes = uint64_t{kMax} * 4 * kMax;
         },
         true},
        {"one column past the edge", [](FrameMessage& m) { m.regionX = 1; }, false},
        {"one row past the edge", [](FrameMessage& m) { m.regionY = 1; }, false},
        {"negative start",
         [](FrameMessage& m) {
             m.regionX = -1;
             m.regionWidth = 1;
         },
         false},
        {"negative size", [](FrameMessage& m) { m.regionHeight = -1; }, false},
        {"zero width", [](FrameMessage& m) { m.regionWidth = 0; }, false},
        {"zero height", [](FrameMessage& m) { m.regionHeight = 0; }, false},
        {"start and size that wrap",
         [](FrameMessage& m) {
             m.regionX = kBig;
             m.regionWidth = kBig;
         },
         false},
        {"most negative start",
         [](FrameMessage& m) { m.regionY = std::numeric_limits<int32_t>::min(); }, false},
        {"zero-size surface", [](FrameMessage& m) { m.surfaceWidth = 0; }, false},
        {"huge surface",
         [](FrameMessage& m) {
             m.surfaceWidth = kMax + 1;
             m.bytesPerRow = (kMax + 1) * 4;
             m.surfaceBytes = uint64_t(kMax + 1) * 4 * 32;
         },
         false},
        {"rows shorter than the width",
         [](FrameMessage& m) {
             m.bytesPerRow = 255;
             m.surfaceBytes = 255 * 32;
         },
         false},
        {"rows absurdly long",
         [](FrameMessage& m) {
             m.bytesPerRow = kBig;
             m.surfaceBytes = uint64_t{kBig} * 32;
         },
         false},
        {"byte size not rows times height", [](FrameMessage& m) { m.surfaceBytes += 1; }, false},
        {"unknown flag", [](FrameMessage& m) { m.flags = 1u << 7; }, false},
        {"frame number zero", [](FrameMessage& m) { m.frameNumber = 0; }, false},
    };
    for (const Case& c : cases) {
        FrameMessage m = sound();
        c.change(m);
        EXPECT_EQ(protocol::frameGeometryIsSound(m), c.sound) << c.what;
    }
}

}  // namespace
}  // namespace cliploop
