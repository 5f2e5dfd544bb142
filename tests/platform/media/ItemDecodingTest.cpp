// Decoding an item's frames: order, exact times, formats and sizes, orientation, bounded memory.
// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <numeric>

#include "support/MediaTestSupport.h"

namespace cliploop::testing {
namespace {

TEST(ItemDecoding, EveryFrameComesInOrderAtItsOwnTimeAsOpaqueBgraWithinTheBoundedPool) {
    const std::vector<int64_t> vfr = {0, 3000, 9000, 18000, 21000, 24000};  // 1/90000 s
    const std::pair<const char*, ClipRecipe> cases[] = {
        {"bframes.mp4", {.frames = 20}},
        {"prores422_10bit.mov", {.frames = 5, .codec = "prores_ks", .pixelFormat = "yuv422p10le"}},
        {"sound.mp4", {.frames = 6, .withAudio = true}},
        {"vfr.mp4", {.frames = 6, .ticks = vfr}},
        {"odd.mp4", {.width = 33, .height = 17, .frames = 3, .pixelFormat = "yuv444p"}},
        {"huge.mov",
         {.width = 7680, .height = 4320, .frames = 1, .codec = "mjpeg", .pixelFormat = "yuvj420p"}},
    };
    for (const auto& [name, r] : cases) {
        SCOPED_TRACE(name);
        auto item = itemFor(clip(name, r));
        size_t n = 0;
        const auto numbers = pullNumbers(*item, 1000, [&](const PixelBuffer& f) {
            EXPECT_EQ(f.surface()->data(), f.baseAddress());
            const uint8_t* p = f.baseAddress() + (f.height() - 1) * f.bytesPerRow();
            EXPECT_TRUE(p[3] == 255 && p[0] > 60 && p[2] < 40);  // opaque dark blue at the bottom
            const size_t i = n++;
            const MediaTime time = r.ticks.empty()
                                       ? MediaTime{static_cast<int64_t>(i), 30}
                                       : MediaTime::fromSeconds(r.ticks.at(i) / 90000.0);
            EXPECT_TRUE(f.width() == r.width && f.height() == r.height &&
                        f.presentationTime() == time)
                << i;
        });
        std::vector<int> expected(r.frames);
        std::iota(expected.begin(), expected.end(), 0);
        EXPECT_EQ(numbers, expected);
        // Exact once the last frame is out: a variable rate's last lasts as its packet says.
        const double end = item->duration().seconds(), lastTick = 24000 / 90000.0;
        if (r.ticks.empty())
            EXPECT_EQ(item->duration(),
                      (r.frames == 1 ? MediaTime::fromSeconds(1.0) : MediaTime{r.frames, 30}));
        else
            EXPECT_TRUE(end > lastTick && end <= lastTick + 1 / 15.0) << end;
        EXPECT_FALSE(item->failed());
        // At most eight 8K surfaces' worth.
        const ItemState& state = ItemAccess::of(*item);
        EXPECT_LE(state.surfaceCount(), state.surfaceCapacity());
        EXPECT_LE(state.surfaceCapacity() * r.width * r.height, 8u * 7680 * 4320);
    }
}

TEST(ItemDecoding, ADecoderOutOfSurfacesSleepsUntilOneComesBackAndAStopWakesIt) {
    auto state = std::make_unique<ItemState>(clip("held.mp4", {.frames = 30}));
    state->start();
    std::vector<PixelBufferRef> held;  // every surface of the pool: nowhere to decode to
    bool ended = false;
    while (held.empty() || held.size() < state->surfaceCapacity()) {
        held.push_back(state->takeNextFrame(std::chrono::seconds(30), &ended));
        ASSERT_TRUE(held.back());
    }
    EXPECT_EQ(state->surfaceCount(), held.size());
    held.erase(held.begin());  // one comes back: the next frame follows
    held.push_back(state->takeNextFrame(std::chrono::seconds(30), &ended));
    ASSERT_TRUE(held.back());
    EXPECT_EQ(readFrameNumber(*held.back()), static_cast<int>(held.size()));
    state.reset();                                 // joins a decoder asleep in the pool again
    EXPECT_EQ(readFrameNumber(*held.front()), 1);  // the surfaces outlive it
}

TEST(ItemDecoding, DisplayRotationIsAppliedAndSizesSwap) {
    // A 64x32 picture whose top-left quarter is light; where that quarter is once upright.
    const struct {
        int rotation, lightX, lightY;
    } cases[] = {{90, 28, 8}, {180, 56, 28}, {270, 4, 56}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rotation);
        const ClipRecipe recipe{
            .height = 32, .frames = 1, .displayRotation = c.rotation, .first = 240};
        auto item = itemFor(clip("turn" + std::to_string(c.rotation) + ".mp4", recipe));
        const auto numbers = pullNumbers(*item, 1, [&](const PixelBuffer& f) {
            EXPECT_EQ(f.width(), c.rotation == 180 ? 64 : 32);
            EXPECT_EQ(f.height(), c.rotation == 180 ? 32 : 64);
            EXPECT_TRUE(isLight(f, c.lightX, c.lightY));
            EXPECT_FALSE(isLight(f, f.width() - 1 - c.lightX, f.height() - 1 - c.lightY));
        });
        EXPECT_EQ(numbers.size(), 1u);
    }
}

}  // namespace
}  // namespace cliploop::testing
