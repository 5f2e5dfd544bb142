// cliploop-play --publish decodes a clip, pipewiresrc reads the node and cliploop-receive the
// frame server, and what they receive is compared with FFmpeg's own decode.
#include <gtest/gtest.h>

#include <algorithm>

#include "pipewire/support/PipeWireDaemon.h"

namespace cliploop::testing {
namespace {

using namespace std::chrono_literals;

constexpr size_t kFrameBytes = 320 * 240 * 4;
constexpr size_t kBlackBytes = 512 * 512 * 4;  // what the node carries before the clip
constexpr int kClipFrames = 30;

class PipeWireEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        clip_ = dir() + "/clip.mp4";
        const std::string reference = dir() + "/reference.raw";
        ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i "
                               "testsrc2=size=320x240:rate=30 -frames:v 30 -c:v libx264 -qp 0 "
                               "-pix_fmt yuv420p " +
                               clip_ + " && ffmpeg -nostdin -v error -i " + clip_ +
                               " -f rawvideo -pix_fmt bgra " + reference)
                                  .c_str()),
                  0);
        const std::string frames = readFile(reference);
        ASSERT_EQ(frames.size(), kFrameBytes * kClipFrames);
        for (int i = 0; i < kClipFrames; ++i)
            reference_.emplace(frames.substr(size_t(i) * kFrameBytes, kFrameBytes), i);
        ASSERT_EQ(reference_.size(), size_t{kClipFrames});
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

    bool nodeAppears(const std::string& node) {
        return within(30s, [&] { return !daemon_.node(node).empty(); });
    }

    PipeWireDaemon daemon_;
    std::string clip_;
    std::map<std::string, int> reference_;
};

// Then a consumer that stops taking frames holds up neither the playback nor "Video".
TEST_F(PipeWireEndToEnd, EveryFrameBitIdenticalUprightAcrossSeamsAndAStalledConsumerStallsNothing) {
    if (const std::string why = daemon_.start(); !why.empty()) GTEST_SKIP() << why;
    auto player = play("Seams", "--loops", "20");
    ASSERT_TRUE(nodeAppears("cliploop.Seams")) << readFile(dir() + "/play.err");
    const std::string properties = daemon_.node("cliploop.Seams");
    for (const char* property :
         {R"("node.description": "cliploop Seams")", R"("media.class": "Video/Source")",
          R"("media.role": "Camera")", R"("media.software": "cliploop")"})
        EXPECT_NE(properties.find(property), std::string::npos) << property << " in " << properties;

    const std::string path = dir() + "/frames.raw";
    Child gst(consumer("cliploop.Seams", path, 50), "/dev/null", dir() + "/gst.err");
    ASSERT_EQ(gst.wait(60s), 0) << readFile(dir() + "/gst.err");
    // The player takes every frame, so pictures are consecutive frames, the last then the first.
    const std::vector<int> frames = received(path);
    ASSERT_GE(frames.size(), 40u);
    int seams = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_NE(frames[i], -1) << "picture " << i << " is no frame of the clip";
        if (i == 0) continue;
        const bool next = frames[i] > frames[i - 1] && frames[i] - frames[i - 1] <= 2;
        const bool seam = frames[i - 1] >= kClipFrames - 3 && frames[i] <= 2;
        EXPECT_TRUE(next || seam) << "frame " << frames[i] << " after " << frames[i - 1];
        seams += seam;
    }
    EXPECT_GE(seams, 1);

    const std::string stalledPath = dir() + "/stalled.raw";
    Child stalled(consumer("cliploop.Seams", stalledPath), "/dev/null", dir() + "/gst.err");
    ASSERT_TRUE(within(30s, [&] { return readFile(stalledPath).size() >= 2 * kFrameBytes; }))
        << readFile(dir() + "/gst.err");
    kill(stalled.pid(), SIGSTOP);
    const std::string pngs = dir() + "/png";
    Child receiver({CLIPLOOP_RECEIVER, "Seams", "--frames", "30", "--png", pngs, "--timeout", "20"},
                   "/dev/null", dir() + "/receive.err");
    EXPECT_EQ(receiver.wait(60s), 0) << readFile(dir() + "/receive.err");
    ASSERT_EQ(player->wait(60s), 0) << readFile(dir() + "/play.err");
    // The receiver's PNG files, read back by FFmpeg, are frames of the clip, upright.
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -i " + pngs +
                           "/frame-%06d.png -f rawvideo -pix_fmt bgra " + dir() + "/png.raw")
                              .c_str()),
              0);
    const std::vector<int> written = received(dir() + "/png.raw");
    EXPECT_EQ(written.size(), 30u);
    EXPECT_EQ(std::count(written.begin(), written.end(), -1), 0);
    EXPECT_NE(readFile(dir() + "/play.out").find("loop turns: 20"), std::string::npos)
        << readFile(dir() + "/play.out");
}

TEST_F(PipeWireEndToEnd, PipeWireIsAGuestThatMayComeLateAndRestart) {
    auto player = play("Guest", "--seconds", "200");
    const std::string errors = dir() + "/play.err";
    const std::string videoOnly = "frames go to \"Guest\" only";
    ASSERT_TRUE(within(30s, [&] { return readFile(errors).find(videoOnly) != std::string::npos; }))
        << readFile(errors);
    Child receiver({CLIPLOOP_RECEIVER, "Guest", "--frames", "5", "--timeout", "20"}, "/dev/null",
                   dir() + "/receive.err");
    EXPECT_EQ(receiver.wait(30s), 0) << readFile(dir() + "/receive.err");

    if (const std::string why = daemon_.start(); !why.empty()) GTEST_SKIP() << why;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "daemon started late" : "daemon restarted");
        ASSERT_TRUE(nodeAppears("cliploop.Guest")) << readFile(errors);
        const std::string path = dir() + "/frames" + std::to_string(round) + ".raw";
        Child gst(consumer("cliploop.Guest", path, 5), "/dev/null", dir() + "/gst.err");
        ASSERT_EQ(gst.wait(60s), 0) << readFile(dir() + "/gst.err");
        const std::vector<int> frames = received(path);
        EXPECT_FALSE(frames.empty());
        for (int frame : frames) EXPECT_NE(frame, -1);
        if (round == 0) {
            daemon_.stop(SIGKILL);
            ASSERT_EQ(daemon_.start(), "");
        }
    }
    EXPECT_TRUE(player->running());
    const std::string said = readFile(errors);
    EXPECT_EQ(said.find(videoOnly), said.rfind(videoOnly)) << said;
}

}  // namespace
}  // namespace cliploop::testing
