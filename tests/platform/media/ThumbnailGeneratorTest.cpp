// Pictures of clips: the frame one second in (the first of a shorter clip), upright and fitted;
// anything else fails with a reason, quickly.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "media/ThumbnailGenerator.h"
#include "support/MediaTestSupport.h"

namespace cliploop::testing {
namespace {

namespace fs = std::filesystem;

// The number the test clips draw in their upper half, read from a picture.
int numberIn(const Thumbnail& picture) {
    int number = 0;
    for (int bit = 0; bit < 8; ++bit) {
        const int x = (2 * bit + 1) * picture.width / 16, y = picture.height / 4;
        number =
            number * 2 + (picture.bgra[(static_cast<size_t>(y) * picture.width + x) * 4 + 1] > 128);
    }
    return number;
}

TEST(ThumbnailGenerator, TakesTheFrameOneSecondInUprightAndFitted) {
    const struct {
        std::string name;
        ClipRecipe recipe;
        int width, height, number;
    } cases[] = {
        {"two-seconds.mp4", {.width = 64, .height = 48, .frames = 60}, 64, 48, 30},
        {"short.mp4", {.width = 64, .height = 48, .frames = 12}, 64, 48, 0},
        {"wide.mkv", {.width = 1280, .height = 720, .frames = 45}, 96, 54, 30},
        {"tall.mp4", {.width = 128, .height = 256, .frames = 40}, 27, 54, 30},
        {"turned.mp4",
         {.width = 128, .height = 64, .frames = 40, .displayRotation = 90},
         27,
         54,
         -1},
        {"mjpeg.avi",
         {.width = 64, .height = 48, .frames = 40, .codec = "mjpeg", .pixelFormat = "yuvj420p"},
         64,
         48,
         30},
    };
    ThumbnailGenerator generator(96, 54);
    for (const auto& [name, recipe, width, height, number] : cases) {
        SCOPED_TRACE(name);
        Thumbnail picture;
        std::string error;
        ASSERT_TRUE(generator.generate(clip(name, recipe), &picture, &error)) << error;
        EXPECT_EQ(picture.width, width);
        EXPECT_EQ(picture.height, height);
        ASSERT_EQ(picture.bgra.size(), static_cast<size_t>(width * height * 4));
        if (number >= 0) {
            EXPECT_EQ(numberIn(picture), number);
        }
        EXPECT_EQ(picture.bgra[3], 255);  // opaque
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
    clip("sound.m4a", {.codec = "", .withAudio = true});
    ThumbnailGenerator generator(96, 54);
    for (const std::string& path :
         {notes, empty, pipe, folder, cut, testPath("sound.m4a"), testPath("missing.mp4")}) {
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
