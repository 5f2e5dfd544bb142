// ctest-labels: concurrency
// Decoding an item's frames, pictures of clips, and files that are not clips or odd ones.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <numeric>

#include "foundation/HostClock.h"
#include "media/ThumbnailGenerator.h"
#include "support/MediaTestSupport.h"

namespace cliploop::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

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
            const uint8_t* p = f.baseAddress() + (f.height() - 1) * f.bytesPerRow();
            const size_t i = n++;
            const MediaTime time = r.ticks.empty() ? MediaTime{int64_t(i), 30}
                                                   : MediaTime::fromSeconds(r.ticks[i] / 90000.0);
            // Opaque dark blue at the bottom, in the pool's own memory.
            EXPECT_TRUE(p[3] == 255 && p[0] > 60 && p[2] < 40 && f.width() == r.width &&
                        readFrameNumber(f) == int(i) && f.height() == r.height &&
                        f.presentationTime() == time && f.surface()->data() == f.baseAddress())
                << i;
        });
        EXPECT_EQ(numbers.size(), size_t(r.frames));
        // A variable rate's last frame lasts as its packet says.
        const double end = item->duration().seconds(), lastTick = 24000 / 90000.0;
        EXPECT_TRUE(r.ticks.empty() ? item->duration() == (r.frames == 1 ? MediaTime{1, 1}
                                                                         : MediaTime{r.frames, 30})
                                    : end > lastTick && end <= lastTick + 1 / 15.0)
            << end;
        const ItemState& state = ItemAccess::of(*item);  // at most eight 8K surfaces' worth
        EXPECT_TRUE(state.surfaceCount() <= state.surfaceCapacity() &&
                    state.surfaceCapacity() * r.width * r.height <= 8u * 7680 * 4320);
    }
}

TEST(ItemDecoding, ADecoderOutOfSurfacesSleepsUntilOneComesBackAndAStopWakesIt) {
    auto state = std::make_unique<ItemState>(clip("held.mp4", {.frames = 30}));
    state->start();
    std::vector<PixelBufferRef> held;  // every surface of the pool: nowhere to decode to
    bool ended = false;
    const auto take = [&] {
        return held.emplace_back(state->takeNextFrame(30s, &ended)) != nullptr;
    };
    while (held.empty() || held.size() < state->surfaceCapacity()) ASSERT_TRUE(take());
    held.erase(held.begin());  // one comes back: the next frame follows
    ASSERT_TRUE(take());
    EXPECT_EQ(readFrameNumber(*held.back()), static_cast<int>(held.size()));
    state.reset();  // joins a decoder asleep in the pool again; the surfaces outlive it
    EXPECT_EQ(readFrameNumber(*held.front()), 1);
}

// A 64x32 picture whose top-left quarter is light: where that quarter is once upright.
TEST(ItemDecoding, DisplayRotationIsAppliedAndSizesSwap) {
    for (const auto [rotation, x, y] : {std::array{90, 28, 8}, {180, 56, 28}, {270, 4, 56}}) {
        const ClipRecipe recipe{
            .height = 32, .frames = 1, .displayRotation = rotation, .first = 240};
        auto item = itemFor(clip("turn" + std::to_string(rotation) + ".mp4", recipe));
        const auto numbers = pullNumbers(*item, 1, [&](const PixelBuffer& f) {
            EXPECT_TRUE(f.width() == (rotation == 180 ? 64 : 32) && isLight(f, x, y) &&
                        !isLight(f, f.width() - 1 - x, f.height() - 1 - y))
                << rotation;
        });
        EXPECT_EQ(numbers.size(), 1u);
    }
}

TEST(ThumbnailGenerator, TakesTheFrameOneSecondInUprightAndFitted) {
    const struct {
        const char* name;
        ClipRecipe recipe;
        int fitWidth, fitHeight, number;  // -1: turned, unreadable
    } cases[] = {
        {"short.mp4", {64, 48, 12}, 64, 48, 0},
        {"wide.mkv", {1280, 720, 45}, 96, 54, 30},
        {"tall.mp4", {128, 256, 40}, 27, 54, 30},
        {"turned.mp4", {.width = 128, .frames = 40, .displayRotation = 90}, 27, 54, -1},
    };
    ThumbnailGenerator generator(96, 54);
    for (const auto& c : cases) {
        Thumbnail p;
        std::string error;
        ASSERT_TRUE(generator.generate(clip(c.name, c.recipe), &p, &error)) << error;
        const auto light = [&](int x, int y) { return p.bgra[(y * p.width + x) * 4 + 1] > 128; };
        EXPECT_TRUE(p.width == c.fitWidth && p.height == c.fitHeight &&
                    p.bgra.size() == size_t(p.width * p.height * 4) && p.bgra[3] == 255 &&
                    (c.number < 0 || numberIn(p.width, p.height, light) == c.number))
            << c.name;
    }
}

TEST(BadInput, UnplayableFilesFailWithAReasonNeverDeliverNorEndAndBlockNothing) {
    std::ofstream(testPath("notes.mp4")) << "These are not the frames you are looking for.\n";
    std::ofstream{testPath("empty.mov")};
    fs::create_directory(testPath("folder.mov"));
    mkfifo(testPath("pipe.mov").c_str(), 0600);  // no writer: opening it would wait for one
    clip("sound.m4a", {.codec = "", .withAudio = true});
    const std::string whole = clip("indexlast.mp4", {.frames = 30});
    fs::copy_file(whole, testPath("cut.mp4"));  // its index at the end, cut off
    fs::resize_file(testPath("cut.mp4"), fs::file_size(whole) / 2);
    ThumbnailGenerator generator(96, 54);
    for (const char* name : {"notes.mp4", "empty.mov", "folder.mov", "pipe.mov", "sound.m4a",
                             "cut.mp4", "missing.mp4"}) {
        SCOPED_TRACE(name);
        Thumbnail picture;
        std::string error;
        EXPECT_FALSE(generator.generate(testPath(name), &picture, &error) || error.empty() ||
                     !picture.bgra.empty());
        auto item = itemFor(testPath(name));
        auto player = QueuePlayer::create();
        auto output = PlayerItemVideoOutput::create({kPixelFormatType32BGRA, true, true});
        PictureSource pictures(player);
        player->replaceCurrentItemWithPlayerItem(item);
        item->addOutput(output);
        player->setRate(8.0f);
        ASSERT_TRUE(eventually([&] { return item->failed(); }));
        EXPECT_FALSE(
            output->hasNewPixelBufferForItemTime(output->itemTimeForHostTime(hostTime())) ||
            pictures.frameForHostTime(hostTime()) || ItemAccess::of(*item).surfaceCount());
        item->seekToTime(MediaTime::zero());
        EXPECT_TRUE(item->failed() && item->isReady() && !item->failureReason().empty());
        player->removeItem(item);
        player->insertItem(item, nullptr);
        player->insertItem(item, nullptr);  // already queued: no change
        EXPECT_TRUE(player->items() == std::vector{item} && player->currentItem() == item);
        player->setRate(-1.0f);                                      // taken as 0
        EXPECT_TRUE(player->rate() == 0.f && !item->endHostTime());  // and it never ends
        player->removeAllItems();
        bool ended = false;
        EXPECT_TRUE(!item->copyNextPixelBuffer(std::chrono::milliseconds(0), &ended) && ended);
    }
    Thumbnail picture;  // too wide a picture is refused; a cancellation stops one
    std::string error;
    const std::string huge = clip(
        "huge.mkv",
        {.width = 17000, .height = 256, .frames = 1, .codec = "mjpeg", .pixelFormat = "yuvj420p"});
    EXPECT_FALSE(generator.generate(huge, &picture, &error) || error.empty());
    EXPECT_FALSE(generator.generate(whole, &picture, &error, [] { return true; }) ||
                 error != "cancelled");
    EXPECT_TRUE(generator.generate(whole, &picture, &error)) << error;  // and on it goes
}

TEST(BadInput, CutDeletedAndStillFilesPlayTheFramesTheyHaveAtEveryTurn) {
    const std::string whole = clip("whole.mp4", {.frames = 30, .faststart = true});
    const std::string little = testPath("cut10.mp4"), most = testPath("cut99.mp4");
    for (const auto& [path, percent] : {std::pair{little, 10}, {most, 99}}) {
        fs::copy_file(whole, path);
        fs::resize_file(path, fs::file_size(whole) * percent / 100);
    }
    const std::string still =
        clip("still.png",
             {.height = 48, .frames = 1, .codec = "png", .pixelFormat = "rgb24", .first = 240});
    const std::string doomed = clip("doomed.mp4", {.frames = 6});
    for (const std::string& path : {little, most, still, doomed}) {
        SCOPED_TRACE(path);
        const bool isStill = path == still;
        auto item = itemFor(path);
        // Two turns, as a loop rewinds (a still cannot seek: it is opened again).
        const auto numbers = pullNumbers(*item, 1000, [&](const PixelBuffer& f) {
            EXPECT_TRUE(f.width() == 64 && f.height() == (isStill ? 48 : 64));
        });
        if (path == doomed) {  // deleted while playing
            ASSERT_EQ(::unlink(path.c_str()), 0);
        }
        item->seekToTime(MediaTime::zero());
        EXPECT_EQ(pullNumbers(*item), numbers);
        if (path == little) continue;  // whatever little is left
        std::vector<int> expected(isStill ? 1 : std::max<size_t>(numbers.size(), 2));
        std::iota(expected.begin(), expected.end(), isStill ? 240 : 0);
        EXPECT_EQ(numbers, expected);
        EXPECT_EQ(item->duration(),
                  (isStill ? MediaTime{1, 1} : MediaTime{int64_t(numbers.size()), 30}));
    }
}

}  // namespace
}  // namespace cliploop::testing
