// Pictures of clips: the frame one second in (the first of a shorter clip), upright and fitted;
// anything else fails with a reason, quickly, and a cancellation stops it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "media/ThumbnailGenerator.h"
#include "support/MediaTestSupport.h"

namespace cliploop::testing {
namespace {

namespace fs = std::filesystem;

TEST(ThumbnailGenerator, TakesTheFrameOneSecondInUprightAndFitted) {
    const struct {
        const char* name;
        int width, height, frames, rotation;
        int fitWidth, fitHeight, number;  // -1: turned, unreadable
    } cases[] = {
        {"short.mp4", 64, 48, 12, 0, 64, 48, 0},
        {"wide.mkv", 1280, 720, 45, 0, 96, 54, 30},
        {"tall.mp4", 128, 256, 40, 0, 27, 54, 30},
        {"turned.mp4", 128, 64, 40, 90, 27, 54, -1},
    };
    ThumbnailGenerator generator(96, 54);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClipRecipe recipe{c.width, c.height, c.frames};
        recipe.displayRotation = c.rotation;
        Thumbnail picture;
        std::string error;
        ASSERT_TRUE(generator.generate(clip(c.name, recipe), &picture, &error)) << error;
        EXPECT_EQ(picture.width, c.fitWidth);
        EXPECT_EQ(picture.height, c.fitHeight);
        ASSERT_EQ(picture.bgra.size(), static_cast<size_t>(c.fitWidth * c.fitHeight * 4));
        EXPECT_EQ(picture.bgra[3], 255);  // opaque
        const auto light = [&](int x, int y) {
            return picture.bgra[(static_cast<size_t>(y) * picture.width + x) * 4 + 1] > 128;
        };
        if (c.number >= 0) {
            EXPECT_EQ(numberIn(picture.width, picture.height, light), c.number);
        }
    }
}

TEST(ThumbnailGenerator, AnythingElseFailsWithAReasonAndACancellationStopsIt) {
    const std::string notes = testPath("notes.mp4"), empty = testPath("empty.mov"),
                      pipe = testPath("pipe.mov"), folder = testPath("folder.mov");
    std::ofstream(notes) << "These are not the frames you are looking for.\n";
    std::ofstream{empty};
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);  // opening it would wait for a writer forever
    fs::create_directory(folder);
    const std::string whole = clip("whole.mp4", {.frames = 30});
    const std::string cut = testPath("cut.mp4");  // its index at the end, cut off
    fs::copy_file(whole, cut);
    fs::resize_file(cut, fs::file_size(whole) / 2);
    const std::string sound = clip("sound.m4a", {.codec = "", .withAudio = true});
    const std::string huge = clip(  // beyond any side a picture may have
        "huge.mkv",
        {.width = 17000, .height = 256, .frames = 1, .codec = "mjpeg", .pixelFormat = "yuvj420p"});
    ThumbnailGenerator generator(96, 54);
    for (const std::string& path :
         {notes, empty, pipe, folder, cut, sound, huge, testPath("missing.mp4")}) {
        SCOPED_TRACE(path);
        Thumbnail picture;
        std::string error;
        EXPECT_FALSE(generator.generate(path, &picture, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(picture.bgra.empty());
    }
    Thumbnail picture;
    std::string error;
    EXPECT_FALSE(generator.generate(whole, &picture, &error, [] { return true; }));
    EXPECT_EQ(error, "cancelled");
    EXPECT_TRUE(generator.generate(whole, &picture, &error)) << error;  // and on it goes
}

}  // namespace
}  // namespace cliploop::testing
