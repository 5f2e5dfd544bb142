// The limits that send, skip or drop a client's frames, server-side clipping, a client's checks.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <limits>
#include <tuple>
#include <vector>

#include "sharing/ClientConnection.h"
#include "sharing/FrameRegion.h"
#include "sharing/client/FrameGeometry.h"

namespace cliploop {
namespace {

using namespace protocol;
using Result = ClientConnection::SendResult;

constexpr double kJustOver = 0.001;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(ClientConnection, FramesAreSentSkippedOrCutOffByTheGreetingAndHoldLimits) {
    const double timeout = kHoldTimeoutSeconds, limit = kHoldLimitSeconds;
    // Greeted?, times of the frames held, how many oldest released, then a frame sent at `now`.
    const std::tuple<const char*, bool, std::vector<double>, uint64_t, double, Result> cases[] = {
        {"not greeted at the limit", false, {}, 0, kGreetingLimitSeconds, Result::Skipped},
        {"silent past the limit", false, {}, 0, kGreetingLimitSeconds + kJustOver, Result::Drop},
        {"holding one at the limit", true, {10}, 0, 10 + limit, Result::Skipped},
        {"holding one past the limit", true, {10}, 0, 10 + limit + kJustOver, Result::Drop},
        {"the oldest counts", true, {10, 10.5}, 0, 10 + timeout + kJustOver, Result::Skipped},
        {"the oldest let go of", true, {10, 10.5}, 1, 10.5 + timeout, Result::Sent},
        {"all let go of", true, {10, 11}, 2, 1000, Result::Sent},
        {"holding the most", true, {10, 10, 10, 10}, 0, 10, Result::Skipped},
        {"one fewer than the most", true, {10, 10, 10, 10}, 1, 10, Result::Sent},
    };
    static_assert(kMaxHeldFrames == 4);
    const auto surface = Surface::create(16, 16);
    for (const auto& [what, greets, sentAt, released, now, expected] : cases) {
        SCOPED_TRACE(what);
        int ends[2];  // the connection owns the first
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        ClientConnection connection(ends[0], 0.0);
        if (const ClientHello hello; greets) send(ends[1], &hello, sizeof hello, 0);
        ASSERT_EQ(connection.readMessages(), ClientConnection::Outcome::Keep);
        FrameMessage frame;
        for (const double at : sentAt) {
            ++frame.frameNumber;
            ASSERT_EQ(connection.sendFrame(frame, surface, at), Result::Sent);
        }
        for (ReleaseMessage r{.frameNumber = 1}; r.frameNumber <= released; ++r.frameNumber)
            send(ends[1], &r, sizeof r, 0);
        ASSERT_EQ(connection.readMessages(), ClientConnection::Outcome::Keep);
        ++frame.frameNumber;
        EXPECT_EQ(connection.sendFrame(frame, surface, now), expected);
        close(ends[1]);
    }
}

TEST(FrameRegion, ExtentsAndRegionsBecomeWholePixelsInsideTheSurfaceOnBothSides) {
    using frameregion::Span;  // in a surface 100 pixels across
    const std::tuple<const char*, double, double, std::optional<Span>> cases[] = {
        {"inside", 10, 20, Span{10, 20}},
        {"fractions widen outwards", 10.5, 20.25, Span{10, 21}},
        {"partly past the end", 90, 50, Span{90, 10}},
        {"partly before the start", -30, 50, Span{0, 20}},
        {"all around", -1e300, 1e301, Span{0, 100}},
        {"beyond the end", 100, 5, std::nullopt},
        {"before the start", -50, 50, std::nullopt},
        {"zero length between pixels", 10.5, 0, std::nullopt},
        {"negative length", 50, -20, std::nullopt},
        {"end overflows to infinity", 50, std::numeric_limits<double>::max(), Span{50, 50}},
        {"infinite start", -kInf, kInf, std::nullopt},
        {"not a number", kNaN, 10, std::nullopt},
    };
    for (const auto& [what, start, length, clipped] : cases)
        EXPECT_EQ(frameregion::clipSpan(start, length, 100), clipped) << what;

    const std::pair<double, std::optional<int32_t>> extents[] = {
        {512, 512}, {1, 1},     {1.9, 1},    {16384, 16384}, {16385, {}}, {0.99, {}},
        {0, {}},    {-512, {}}, {1e300, {}}, {kInf, {}},     {-kInf, {}}, {kNaN, {}}};
    for (const auto& [value, pixels] : extents)
        EXPECT_EQ(frameregion::pixelsOf(value), pixels) << value;
    // And a client takes only a frame whose region lies inside its surface.
    constexpr int32_t kMax = kMaxSurfaceDimension, kBig = std::numeric_limits<int32_t>::max();
    const auto m = [](int32_t width, int32_t height, int32_t bytesPerRow, int32_t x, int32_t y,
                      int32_t w, int32_t h, uint32_t flags = 0, uint64_t number = 1,
                      uint64_t extraBytes = 0) {
        FrameMessage f{.flags = flags, .frameNumber = number, .surfaceWidth = width};
        f.surfaceHeight = height, f.bytesPerRow = bytesPerRow, f.regionX = x, f.regionY = y;
        f.surfaceBytes = uint64_t(bytesPerRow) * height + extraBytes;
        f.regionWidth = w, f.regionHeight = h;
        return f;
    };
    const std::tuple<const char*, FrameMessage, bool> frames[] = {
        {"whole surface", m(64, 32, 256, 0, 0, 64, 32), true},

        {"padded rows, every known flag", m(64, 32, 512, 0, 0, 64, 32, kKnownFrameFlags), true},
        {"largest surface", m(kMax, kMax, kMax * 4, 0, 0, kMax, kMax), true},
        {"one column past the edge", m(64, 32, 256, 1, 0, 64, 32), false},

        {"negative start", m(64, 32, 256, -1, 0, 1, 32), false},
        {"negative size", m(64, 32, 256, 0, 0, 64, -1), false},
        {"zero width", m(64, 32, 256, 0, 0, 0, 32), false},
        {"start and size that wrap", m(64, 32, 256, kBig, 0, kBig, 32), false},
        {"least start", m(64, 32, 256, 0, std::numeric_limits<int32_t>::min(), 64, 32), false},
        {"zero-size surface", m(0, 0, 0, 0, 0, 1, 1), false},

        {"huge surface", m(kMax + 1, 32, (kMax + 1) * 4, 0, 0, 64, 32), false},
        {"rows shorter than the width", m(64, 32, 255, 0, 0, 64, 32), false},
        {"rows absurdly long", m(64, 32, kBig, 0, 0, 64, 32), false},
        {"bytes not rows times height", m(64, 32, 256, 0, 0, 64, 32, 0, 1, 1), false},
        {"unknown flag", m(64, 32, 256, 0, 0, 64, 32, 1u << 7), false},
        {"frame number zero", m(64, 32, 256, 0, 0, 64, 32, 0, 0), false},
    };
    for (const auto& [what, message, sound] : frames)
        EXPECT_EQ(frameGeometryIsSound(message), sound) << what;
}

}  // namespace
}  // namespace cliploop
