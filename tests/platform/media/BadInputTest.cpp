// Files that are not clips, or odd ones: the engine neither crashes nor
// hangs, stays bounded, and plays whatever frames a file has.
// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "foundation/HostClock.h"
#include "support/ClipGenerator.h"
#include "support/LoopDriver.h"
#include "support/Pull.h"

namespace cliploop::testing {
namespace {

namespace fs = std::filesystem;

// Plays `item` until it settles, then runs every operation on it; none may block.
void exerciseEveryOperation(const std::shared_ptr<PlayerItem>& item) {
    auto player = QueuePlayer::create();
    auto output = PlayerItemVideoOutput::create(pumpAttributes());
    PictureSource pictures(player);
    player->replaceCurrentItemWithPlayerItem(item);
    item->addOutput(output);
    player->setRate(8.0f);
    ASSERT_TRUE(eventually([&] {
        return item->failed() || item->state()->isReady() || item->state()->isExhausted();
    }));
    const MediaTime t = output->itemTimeForHostTime(hostTime());
    if (item->failed()) {
        // No frame, and no end either: it stays current.
        EXPECT_FALSE(output->hasNewPixelBufferForItemTime(t));
        EXPECT_EQ(output->copyPixelBufferForItemTime(t, nullptr), nullptr);
        EXPECT_EQ(pictures.frameForHostTime(hostTime()), nullptr);
        EXPECT_EQ(item->state()->runOutHostTime(), std::nullopt);
        EXPECT_EQ(player->currentItem(), item);
    }
    item->seekToTime(MediaTime::zero());
    player->removeItem(item);
    player->insertItem(item, nullptr);
    player->pause();
    player->removeAllItems();
}

TEST(BadInput, UnplayableFilesFailQuietlyAndNeverDeliverOrEnd) {
    std::ofstream(testPath("empty.mp4")).flush();
    std::ofstream(testPath("notes.mp4")) << "These are not the frames you are looking for.\n";
    clip("sound.m4a", {.codec = "", .withAudio = true});
    for (const char* name : {"empty.mp4", "notes.mp4", "sound.m4a", "missing.mp4"}) {
        SCOPED_TRACE(name);
        auto item = itemFor(testPath(name));
        exerciseEveryOperation(item);
        EXPECT_TRUE(item->failed());
        EXPECT_FALSE(item->state()->failureReason().empty());
        EXPECT_FALSE(item->duration().isValid());
        EXPECT_EQ(item->state()->surfaceCount(), 0u);
    }
}

TEST(BadInput, CutFilesAndStillImagesLoopTheFramesTheyHave) {
    // The index first, so that a cut file keeps it.
    const std::string whole = clip("whole.mp4", {.frames = 30, .faststart = true});
    for (int percent : {10, 50, 99}) {
        const std::string cut = testPath("cut" + std::to_string(percent) + ".mp4");
        fs::copy_file(whole, cut);
        fs::resize_file(cut, fs::file_size(cut) * percent / 100);
    }
    ClipRecipe image{.height = 48,
                     .frames = 1,
                     .codec = "png",
                     .pixelFormat = AV_PIX_FMT_RGB24,
                     .pattern = Pattern::Quadrant};
    const std::string png = clip("still.png", image);
    image.codec = "mjpeg";
    image.pixelFormat = AV_PIX_FMT_YUVJ420P;
    // The whole clip lasts 1 s; a still shows for a second per turn.
    const std::pair<std::string, double> cases[] = {{testPath("cut50.mp4"), 0.99},
                                                    {testPath("cut99.mp4"), 1.0},
                                                    {png, 1.0},
                                                    {clip("still.jpg", image), 1.0}};
    for (const auto& [path, longest] : cases) {
        SCOPED_TRACE(path);
        const bool still = fs::path(path).extension() != ".mp4";
        // What a turn holds: the frames the file keeps, from the first, in order.
        const auto frames = pullNumbers(*itemFor(path));
        ASSERT_FALSE(frames.empty());
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].number, still ? 240 : static_cast<int>(i));  // light left half: 240
        }
        // Looped at a high rate a pump skips frames; whichever it takes are whole.
        LoopDriver loop(path, 4.0f);
        ASSERT_TRUE(loop.waitUntil([&] { return loop.turns() >= 2; }));
        loop.stop();
        const auto taken = loop.taken();
        ASSERT_FALSE(taken.empty());
        for (const auto& frame : taken) {
            EXPECT_EQ(frame.width, 64);
            EXPECT_EQ(frame.height, still ? 48 : 64);
            EXPECT_TRUE(!still || frame.number == 240);
        }
        const double duration = loop.itemA()->duration().seconds();
        EXPECT_GT(duration, 0.0);
        EXPECT_LE(duration, longest + 1e-9);
        EXPECT_TRUE(!still || duration == 1.0);
    }
    // Cut to a tenth, the file may keep nothing playable; either way it
    // settles, and the frames it has are whole.
    auto item = itemFor(testPath("cut10.mp4"));
    for (const auto& frame : pullNumbers(*item)) EXPECT_EQ(frame.width, 64);
    exerciseEveryOperation(item);
}

TEST(BadInput, TinyOddAndHugeSizesDecodeWithinTheBoundedPool) {
    const std::pair<const char*, ClipRecipe> cases[] = {
        {"one.mov",
         {.width = 1, .height = 1, .frames = 3, .codec = "png", .pixelFormat = AV_PIX_FMT_RGB24}},
        {"odd.mp4", {.width = 33, .height = 17, .frames = 3, .pixelFormat = AV_PIX_FMT_YUV444P}},
        {"huge.mov",
         {.width = 7680,
          .height = 4320,
          .frames = 1,
          .codec = "mjpeg",
          .pixelFormat = AV_PIX_FMT_YUVJ420P}},
    };
    for (const auto& [name, recipe] : cases) {
        SCOPED_TRACE(name);
        auto item = itemFor(clip(name, recipe));
        const auto frames = pullNumbers(*item);
        ASSERT_EQ(frames.size(), static_cast<size_t>(recipe.frames));
        for (int i = 0; i < recipe.frames; ++i) {
            EXPECT_EQ(frames[i].width, recipe.width);
            EXPECT_EQ(frames[i].height, recipe.height);
            EXPECT_TRUE(recipe.width < 16 || frames[i].number == i);  // too narrow to read
        }
        // One frame is shown for a second, like a still image.
        EXPECT_EQ(item->duration(), (recipe.frames == 1 ? MediaTime::fromSeconds(1.0)
                                                        : MediaTime{recipe.frames, 30}));
        // Memory stays bounded: at most eight 8K surfaces' worth.
        EXPECT_LE(item->state()->surfaceCount(), item->state()->surfaceCapacity());
        EXPECT_LE(item->state()->surfaceCapacity() * recipe.width * recipe.height,
                  8u * 7680 * 4320);
    }
}

TEST(BadInput, AFileDeletedWhilePlayingKeepsLooping) {
    const std::string path = clip("doomed.mp4", {.frames = 6});
    LoopDriver loop(path, 2.0f);
    ASSERT_TRUE(loop.waitUntil([&] { return !loop.taken().empty(); }));
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_TRUE(loop.waitUntil([&] { return loop.turns() >= 3; }));
    loop.stop();
    std::map<int, int> framesPerTurn;
    for (const auto& frame : loop.taken()) ++framesPerTurn[frame.turn];
    EXPECT_GT(framesPerTurn[2], 0);
    EXPECT_LE(loop.itemA()->state()->surfaceCount(), loop.itemA()->state()->surfaceCapacity());
}

}  // namespace
}  // namespace cliploop::testing
