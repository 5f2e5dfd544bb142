// Decoding an item's frames: order, exact times, formats and sizes, orientation.
// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <thread>

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
        const auto frames = pullNumbers(*item, 1000, [&](const PixelBuffer& f) {
            EXPECT_EQ(f.surface()->data(), f.baseAddress());
            const uint8_t* p = f.baseAddress() + (f.height() - 1) * f.bytesPerRow();
            EXPECT_EQ(p[3], 255);
            EXPECT_TRUE(p[0] > 60 && p[2] < 40);  // dark blue at the bottom
        });
        ASSERT_EQ(frames.size(), static_cast<size_t>(r.frames));
        for (int i = 0; i < r.frames; ++i) {
            EXPECT_EQ(frames[i].width, r.width);
            EXPECT_EQ(frames[i].height, r.height);
            EXPECT_EQ(frames[i].number, i);
            EXPECT_EQ(frames[i].time, r.ticks.empty()
                                          ? (MediaTime{i, 30})
                                          : MediaTime::fromSeconds(r.ticks[i] / 90000.0));
        }
        // Exact once the last frame is out: a variable rate's last lasts as its packet says.
        const double end = item->duration().seconds();
        if (r.ticks.empty()) {
            EXPECT_EQ(item->duration(),
                      (r.frames == 1 ? MediaTime::fromSeconds(1.0) : MediaTime{r.frames, 30}));
        } else {
            EXPECT_TRUE(end > 24000 / 90000.0 && end <= 24000 / 90000.0 + 1 / 15.0) << end;
        }
        EXPECT_FALSE(item->failed());
        // Memory stays bounded: at most eight 8K surfaces' worth.
        const ItemState& state = ItemAccess::of(*item);
        EXPECT_LE(state.surfaceCount(), state.surfaceCapacity());
        EXPECT_LE(state.surfaceCapacity() * r.width * r.height, 8u * 7680 * 4320);
    }
}

TEST(ItemDecoding, ADecoderOutOfSurfacesSleepsUntilOneComesBackAndAStopWakesIt) {
    auto state = std::make_unique<ItemState>(clip("held.mp4", {.frames = 30}));
    state->start();
    // Hold every surface the pool has: the decoder has nowhere to write.
    std::vector<PixelBufferRef> held;
    bool ended = false;
    while (held.empty() || held.size() < state->surfaceCapacity()) {
        auto frame = state->takeNextFrame(std::chrono::seconds(30), &ended);
        ASSERT_TRUE(frame);
        held.push_back(std::move(frame));
    }
    EXPECT_EQ(state->surfaceCount(), held.size());
    held.erase(held.begin());  // one comes back: the next frame follows
    auto next = state->takeNextFrame(std::chrono::seconds(30), &ended);
    ASSERT_TRUE(next);
    EXPECT_EQ(readFrameNumber(*next), static_cast<int>(held.size()) + 1);
    held.push_back(std::move(next));
    state.reset();                                 // joins a decoder asleep in the pool again
    EXPECT_EQ(readFrameNumber(*held.front()), 1);  // the surfaces outlive it
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
        SCOPED_TRACE(c.rotation);
        const ClipRecipe recipe{
            .height = 32, .frames = 1, .displayRotation = c.rotation, .first = 240};
        auto item = itemFor(clip("turn" + std::to_string(c.rotation) + ".mp4", recipe));
        const auto frames = pullNumbers(*item, 1, [&](const PixelBuffer& f) {
            EXPECT_EQ(f.width(), c.width);
            EXPECT_EQ(f.height(), c.height);
            EXPECT_TRUE(isLight(f, c.lightX, c.lightY));
            EXPECT_FALSE(isLight(f, f.width() - 1 - c.lightX, f.height() - 1 - c.lightY));
        });
        EXPECT_EQ(frames.size(), 1u);
    }
}

}  // namespace
}  // namespace cliploop::testing
