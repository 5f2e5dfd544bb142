// What pipewiresrc and cliploop-receive get from cliploop-play --publish, against FFmpeg's decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "pipewire/support/PipeWireDaemon.h"

namespace cliploop::testing {
namespace {

using namespace std::chrono_literals;

constexpr size_t kFrameBytes = 320 * 240 * 4;
constexpr size_t kBlackBytes = 512 * 512 * 4;  // what the node carries before the clip

class PipeWireEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=30 -frames:v 30 -c:v libx264 "
                           "-qp 0 -pix_fmt yuv420p -y " +
                           clip_) &&
                    ffmpeg("-i " + clip_ + " -f rawvideo -pix_fmt bgra " + dir() + "/ref.raw"));
        const std::string frames = readFile(dir() + "/ref.raw");
        for (size_t i = 0; i * kFrameBytes < frames.size(); ++i)
            reference_.emplace(frames.substr(i * kFrameBytes, kFrameBytes), int(i));
        ASSERT_EQ(reference_.size(), 30u);
    }

    bool ffmpeg(const std::string& arguments) {
        return std::system(("ffmpeg -nostdin -v error " + arguments).c_str()) == 0;
    }

    const std::string& dir() const { return daemon_.runtimeDir(); }

    std::unique_ptr<Child> play(const std::string& name, const std::string& length,
                                const std::string& value) {
        return std::make_unique<Child>(
            std::vector<std::string>{CLIPLOOP_PLAY, "--publish", name, length, value, clip_},
            dir() + "/play.out", dir() + "/play.err");
    }

    // The clip frame each received picture is (-1: none), after the black ones before the clip.
    std::vector<int> received(const std::string& path) const {
        const std::string data = readFile(path);
        size_t at = 0;
        while (data.size() - at >= kBlackBytes &&
               data.compare(at, kBlackBytes, std::string(kBlackBytes, '\0')) == 0)
            at += kBlackBytes;
        std::vector<int> frames;
        for (; at + kFrameBytes <= data.size(); at += kFrameBytes) {
            const auto found = reference_.find(data.substr(at, kFrameBytes));
            frames.push_back(found == reference_.end() ? -1 : found->second);
        }
        return frames;
    }

    PipeWireDaemon daemon_;
    std::string clip_ = dir() + "/clip.mp4";
    std::map<std::string, int> reference_;
};

// Then a consumer that stops taking frames holds up neither the playback nor "Video".
TEST_F(PipeWireEndToEnd, EveryFrameBitIdenticalUprightAcrossSeamsAndAStalledConsumerStallsNothing) {
    if (const std::string why = daemon_.start(); !why.empty()) GTEST_SKIP() << why;
    auto player = play("Seams", "--loops", "20");
    std::string properties;
    ASSERT_TRUE(within(30s, [&] { return !(properties = daemon_.node("cliploop.Seams")).empty(); }))
        << readFile(dir() + "/play.err");
    for (const char* property :
         {R"("node.description": "cliploop Seams")", R"("media.class": "Video/Source")",
          R"("media.role": "Camera")", R"("media.software": "cliploop")"})
        EXPECT_NE(properties.find(property), std::string::npos) << property << " in " << properties;

    Child gst(consumer("cliploop.Seams", dir() + "/frames.raw", 50));
    ASSERT_EQ(gst.wait(60s), 0);
    // The player takes every frame, so pictures are consecutive frames, the last then the first.
    const std::vector<int> frames = received(dir() + "/frames.raw");
    ASSERT_GE(frames.size(), 40u);
    int seams = 0;
    for (size_t i = 1; i < frames.size(); ++i) {
        const bool next = frames[i] > frames[i - 1] && frames[i] - frames[i - 1] <= 2;
        const bool seam = frames[i - 1] >= 27 && frames[i] >= 0 && frames[i] <= 2;
        EXPECT_TRUE(next || seam) << "frame " << frames[i] << " after " << frames[i - 1];
        seams += seam;
    }
    EXPECT_GE(seams, 1);
    EXPECT_NE(frames[0], -1);

    const std::string stalledPath = dir() + "/stalled.raw";
    Child stalled(consumer("cliploop.Seams", stalledPath));
    ASSERT_TRUE(within(30s, [&] { return readFile(stalledPath).size() >= 2 * kFrameBytes; }));
    kill(stalled.pid(), SIGSTOP);
    Child receiver(
        {CLIPLOOP_RECEIVER, "Seams", "--frames", "30", "--png", dir() + "/png", "--timeout", "20"});
    EXPECT_EQ(receiver.wait(60s), 0);
    ASSERT_EQ(player->wait(60s), 0) << readFile(dir() + "/play.err");
    EXPECT_NE(readFile(dir() + "/play.out").find("loop turns: 20"), std::string::npos);
    // The receiver's PNG files, read back by FFmpeg, are frames of the clip, upright.
    ASSERT_TRUE(ffmpeg("-i " + dir() + "/png/frame-%06d.png -f rawvideo -pix_fmt bgra " + dir() +
                       "/png.raw"));
    const std::vector<int> written = received(dir() + "/png.raw");
    EXPECT_TRUE(written.size() == 30 && std::ranges::count(written, -1) == 0);
}

TEST_F(PipeWireEndToEnd, PipeWireIsAGuestThatMayComeLateAndRestart) {
    auto player = play("Guest", "--seconds", "200");
    const std::string videoOnly = "frames go to \"Guest\" only";
    ASSERT_TRUE(within(
        30s, [&] { return readFile(dir() + "/play.err").find(videoOnly) != std::string::npos; }));
    Child receiver({CLIPLOOP_RECEIVER, "Guest", "--frames", "5", "--timeout", "20"});
    EXPECT_EQ(receiver.wait(30s), 0);

    if (const std::string why = daemon_.start(); !why.empty()) GTEST_SKIP() << why;
    for (const char* round : {"started late", "restarted"}) {
        ASSERT_TRUE(within(30s, [&] { return !daemon_.node("cliploop.Guest").empty(); })) << round;
        Child gst(consumer("cliploop.Guest", dir() + "/" + round, 5));
        ASSERT_EQ(gst.wait(60s), 0) << round;
        const std::vector<int> frames = received(dir() + "/" + round);
        EXPECT_TRUE(!frames.empty() && std::count(frames.begin(), frames.end(), -1) == 0) << round;
        daemon_.stop(SIGKILL);
        ASSERT_EQ(daemon_.start(), "");
    }
    EXPECT_TRUE(player->running());
    const std::string said = readFile(dir() + "/play.err");
    EXPECT_EQ(said.find(videoOnly), said.rfind(videoOnly)) << said;
}

}  // namespace
}  // namespace cliploop::testing
