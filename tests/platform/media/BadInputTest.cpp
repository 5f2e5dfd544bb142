// Files that are not clips, or odd ones: the engine neither crashes nor
// hangs, stays bounded, and plays whatever frames a file has.
// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "foundation/HostClock.h"
#include "media/ItemState.h"
#include "support/ClipGenerator.h"
#include "support/LoopDriver.h"
#include "support/Pull.h"

namespace cliploop::testing {
namespace {

namespace fs = std::filesystem;

bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class BadInput : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        std::ofstream(dir->path("empty.mp4")).flush();
        std::ofstream(dir->path("notes.mp4")) << "These are not the frames you are looking for.\n";
        ClipSpec spec;
        spec.frames = 30;
        spec.faststart = true;  // the index first, so a cut file keeps it
        ASSERT_EQ(writeClip(dir->path("whole.mp4"), spec), "");
        const auto whole = fs::file_size(dir->path("whole.mp4"));
        for (int percent : {10, 50, 99}) {
            const std::string cut = dir->path("cut" + std::to_string(percent) + ".mp4");
            fs::copy_file(dir->path("whole.mp4"), cut);
            fs::resize_file(cut, whole * percent / 100);
        }
        ASSERT_EQ(writeAudioOnly(dir->path("sound.m4a")), "");
        ASSERT_EQ(writeStillImage(dir->path("still.png"), "png", 64, 48, 7), "");
        ASSERT_EQ(writeStillImage(dir->path("still.jpg"), "mjpeg", 64, 48, 9), "");
    }
    static void TearDownTestSuite() { delete dir; }

    // Every operation of the engine on an item, none of which may block.
    static void exerciseEveryOperation(const std::shared_ptr<PlayerItem>& item) {
        auto player = QueuePlayer::create();
        auto output = PlayerItemVideoOutput::create(pumpAttributes());
        PictureSource pictures(player);
        player->replaceCurrentItemWithPlayerItem(item);
        item->addOutput(output);
        player->play();
        player->setRate(8.0f);
        const MediaTime t = output->itemTimeForHostTime(hostTime());
        EXPECT_FALSE(output->hasNewPixelBufferForItemTime(t));
        EXPECT_EQ(output->copyPixelBufferForItemTime(t, nullptr), nullptr);
        EXPECT_EQ(pictures.frameForHostTime(hostTime()), nullptr);
        item->seekToTime(MediaTime::zero());
        player->removeItem(item);
        player->insertItem(item, nullptr);
        player->pause();
        player->removeAllItems();
    }

    static TempDir* dir;
};
TempDir* BadInput::dir = nullptr;

TEST_F(BadInput, UnplayableFilesFailQuietlyAndNeverDeliverOrEnd) {
    for (const char* name : {"empty.mp4", "notes.mp4", "sound.m4a", "missing.mp4"}) {
        auto item = itemFor(dir->path(name));
        ASSERT_TRUE(eventually([&] { return item->failed(); })) << name;
        EXPECT_FALSE(item->state()->failureReason().empty()) << name;
        EXPECT_FALSE(item->duration().isValid()) << name;
        EXPECT_EQ(item->state()->runOutHostTime(), std::nullopt) << name;
        exerciseEveryOperation(item);
        EXPECT_EQ(item->state()->surfaceCount(), 0u) << name;
    }
    // Playing an unplayable file also has no observable end.
    auto item = itemFor(dir->path("notes.mp4"));
    auto player = QueuePlayer::create();
    player->replaceCurrentItemWithPlayerItem(item);
    player->play();
    ASSERT_TRUE(eventually([&] { return item->failed(); }));
    EXPECT_EQ(item->state()->runOutHostTime(), std::nullopt);
    EXPECT_EQ(player->currentItem(), item);
}

TEST_F(BadInput, ACutFilePlaysTheFramesItHasAndLoops) {
    for (int percent : {50, 99}) {
        const std::string path = dir->path("cut" + std::to_string(percent) + ".mp4");
        LoopDriver loop(path, 4.0f);
        ASSERT_TRUE(loop.waitUntil([&] { return loop.turns() >= 2; })) << percent;
        loop.stop();
        const auto taken = loop.taken();
        ASSERT_FALSE(taken.empty()) << percent;
        EXPECT_EQ(taken.front().number, 0) << percent;
        // It ends where its frames end, before the whole clip's end.
        const double duration = loop.itemA()->duration().seconds();
        EXPECT_GT(duration, 0.0);
        EXPECT_LE(duration, 1.0 + 1e-9);
        if (percent == 50) {
            EXPECT_LT(duration, 1.0);
        }
    }
    // Cut to a tenth, the file may keep nothing playable; either way it
    // settles without a crash, and frames it has are whole.
    auto item = itemFor(dir->path("cut10.mp4"));
    ASSERT_TRUE(eventually([&] {
        return item->failed() || item->state()->isReady() || item->state()->isExhausted();
    }));
    for (const auto& frame : pullNumbers(*item)) EXPECT_EQ(frame.width, 64);
    exerciseEveryOperation(item);
}

TEST_F(BadInput, AStillImageIsOneFrameShownForASecondPerTurn) {
    const std::pair<const char*, int> images[] = {{"still.png", 7}, {"still.jpg", 9}};
    for (const auto& [name, number] : images) {
        LoopDriver loop(dir->path(name), 4.0f);
        ASSERT_TRUE(loop.waitUntil([&] { return loop.turns() >= 2; })) << name;
        loop.stop();
        const auto taken = loop.taken();
        ASSERT_FALSE(taken.empty()) << name;
        for (const auto& frame : taken) {
            EXPECT_EQ(frame.number, number) << name;
            EXPECT_EQ(frame.width, 64) << name;
            EXPECT_EQ(frame.height, 48) << name;
        }
        EXPECT_EQ(loop.itemA()->duration(), MediaTime::fromSeconds(1.0)) << name;
    }
}

TEST_F(BadInput, TinyAndOddSizesDecode) {
    struct Case {
        const char* name;
        int width, height;
        const char* codec;
        AVPixelFormat format;
    };
    const Case cases[] = {{"one.mov", 1, 1, "png", AV_PIX_FMT_RGB24},
                          {"odd.mp4", 33, 17, "libx264", AV_PIX_FMT_YUV444P},
                          {"odd.mov", 33, 17, "png", AV_PIX_FMT_RGB24}};
    for (const Case& c : cases) {
        ClipSpec spec;
        spec.width = c.width;
        spec.height = c.height;
        spec.codec = c.codec;
        spec.pixelFormat = c.format;
        spec.frames = 3;
        ASSERT_EQ(writeClip(dir->path(c.name), spec), "") << c.name;
        auto item = itemFor(dir->path(c.name));
        const auto frames = pullNumbers(*item);
        ASSERT_EQ(frames.size(), 3u) << c.name;
        EXPECT_EQ(frames[2].width, c.width) << c.name;
        EXPECT_EQ(frames[2].height, c.height) << c.name;
        EXPECT_EQ(item->duration(), (MediaTime{3, 30})) << c.name;
    }
}

TEST_F(BadInput, A7680x4320FramePlaysWithinTheBoundedPool) {
    ClipSpec spec;
    spec.width = 7680;
    spec.height = 4320;
    spec.codec = "mjpeg";
    spec.pixelFormat = AV_PIX_FMT_YUVJ420P;
    spec.frames = 1;
    ASSERT_EQ(writeClip(dir->path("huge.mov"), spec), "");
    auto item = itemFor(dir->path("huge.mov"));
    auto player = QueuePlayer::create();
    auto output = PlayerItemVideoOutput::create(pumpAttributes());
    player->replaceCurrentItemWithPlayerItem(item);
    item->addOutput(output);
    PixelBufferRef frame;
    ASSERT_TRUE(eventually([&] {
        const MediaTime t = output->itemTimeForHostTime(hostTime());
        return (frame = output->copyPixelBufferForItemTime(t, nullptr)) != nullptr;
    }));
    EXPECT_EQ(frame->width(), 7680);
    EXPECT_EQ(frame->height(), 4320);
    EXPECT_EQ(readFrameNumber(*frame), 0);
    EXPECT_LE(item->state()->surfaceCount(), item->state()->surfaceCapacity());
    EXPECT_LE(item->state()->surfaceCapacity(), 8u);
}

TEST_F(BadInput, VariableFrameRateLoopsAtItsLastFramesEnd) {
    ClipSpec spec;
    spec.frames = 4;
    spec.ticks = {0, 3000, 9000, 12000};
    ASSERT_EQ(writeClip(dir->path("vfr.mp4"), spec), "");
    LoopDriver loop(dir->path("vfr.mp4"), 1.0f);
    ASSERT_TRUE(loop.waitUntil([&] { return loop.turns() >= 2; }));
    loop.stop();
    // The loop turns after the last frame, once it has been shown for as
    // long as its packet says.
    const double duration = loop.itemA()->duration().seconds();
    EXPECT_GT(duration, 12000 / 90000.0);
    EXPECT_LE(duration, 12000 / 90000.0 + 1 / 15.0);
}

TEST_F(BadInput, AFileDeletedWhilePlayingKeepsLooping) {
    ClipSpec spec;
    spec.frames = 6;
    const std::string path = dir->path("doomed.mp4");
    ASSERT_EQ(writeClip(path, spec), "");
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
