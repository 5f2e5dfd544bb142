// Files that are not clips, or odd ones: no crash, no hang, a reason, and whatever frames they
// have. ctest-labels: concurrency
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <numeric>

#include "foundation/HostClock.h"
#include "support/MediaTestSupport.h"

namespace cliploop::testing {
namespace {

namespace fs = std::filesystem;

TEST(BadInput, UnplayableFilesFailWithAReasonNeverDeliverNorEndAndBlockNothing) {
    std::ofstream(testPath("notes.mp4")) << "These are not the frames you are looking for.\n";
    std::ofstream{testPath("empty.mov")};
    fs::create_directory(testPath("folder.mov"));
    clip("sound.m4a", {.codec = "", .withAudio = true});
    for (const char* name : {"notes.mp4", "empty.mov", "folder.mov", "sound.m4a", "missing.mp4"}) {
        SCOPED_TRACE(name);
        auto item = itemFor(testPath(name));
        auto player = QueuePlayer::create();
        auto output = PlayerItemVideoOutput::create({kPixelFormatType32BGRA, true, true});
        PictureSource pictures(player);
        player->replaceCurrentItemWithPlayerItem(item);
        item->addOutput(output);
        player->setRate(8.0f);
        ASSERT_TRUE(eventually([&] { return item->failed(); }));
        EXPECT_FALSE(output->hasNewPixelBufferForItemTime(output->itemTimeForHostTime(hostTime())));
        EXPECT_EQ(pictures.frameForHostTime(hostTime()), nullptr);
        EXPECT_EQ(ItemAccess::of(*item).surfaceCount(), 0u);
        // A rewind keeps the failure and its reason, and the queue still obeys.
        item->seekToTime(MediaTime::zero());
        EXPECT_TRUE(item->failed() && item->isReady());
        EXPECT_FALSE(item->failureReason().empty());
        player->removeItem(item);
        player->insertItem(item, nullptr);
        EXPECT_EQ(player->currentItem(), item);
        EXPECT_FALSE(item->endHostTime().has_value());  // it never ends
        player->removeAllItems();
        EXPECT_TRUE(player->items().empty());
        bool ended = false;
        EXPECT_EQ(item->copyNextPixelBuffer(std::chrono::milliseconds(0), &ended), nullptr);
        EXPECT_TRUE(ended);
    }
}

TEST(BadInput, CutFilesAndStillImagesPlayTheFramesTheyHaveAtEveryTurn) {
    // The index first, so that a cut file keeps it.
    const std::string whole = clip("whole.mp4", {.frames = 30, .faststart = true});
    const std::string little = testPath("cut10.mp4"), most = testPath("cut99.mp4");
    for (const auto& [path, percent] : {std::pair{little, 10}, {most, 99}}) {
        fs::copy_file(whole, path);
        fs::resize_file(path, fs::file_size(whole) * percent / 100);
    }
    const std::string still =
        clip("still.png",
             {.height = 48, .frames = 1, .codec = "png", .pixelFormat = "rgb24", .first = 240});
    for (const std::string& path : {little, most, still}) {
        SCOPED_TRACE(path);
        const bool isStill = path == still;
        auto item = itemFor(path);
        // Two turns, as a loop rewinds (a still is opened again: it cannot seek).
        const auto numbers = pullNumbers(*item, 1000, [&](const PixelBuffer& f) {
            EXPECT_TRUE(f.width() == 64 && f.height() == (isStill ? 48 : 64));
        });
        item->seekToTime(MediaTime::zero());
        EXPECT_EQ(pullNumbers(*item), numbers);
        if (path == little) continue;  // whatever little is left
        // From the first, in order; a still is one frame, 240.
        std::vector<int> expected(isStill ? 1 : std::max<size_t>(numbers.size(), 2));
        std::iota(expected.begin(), expected.end(), isStill ? 240 : 0);
        EXPECT_EQ(numbers, expected);
        // A cut file ends where its frames end; a still shows for a second.
        EXPECT_EQ(item->duration(), isStill
                                        ? MediaTime::fromSeconds(1.0)
                                        : (MediaTime{static_cast<int64_t>(numbers.size()), 30}));
    }
}

TEST(BadInput, AFileDeletedWhilePlayingStillLoops) {
    const std::string path = clip("doomed.mp4", {.frames = 6});
    auto item = itemFor(path);
    ASSERT_EQ(pullNumbers(*item, 2).size(), 2u);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    for (int turn = 0; turn < 2; ++turn) {
        item->seekToTime(MediaTime::zero());
        EXPECT_EQ(pullNumbers(*item), (std::vector{0, 1, 2, 3, 4, 5}));
    }
}

}  // namespace
}  // namespace cliploop::testing
