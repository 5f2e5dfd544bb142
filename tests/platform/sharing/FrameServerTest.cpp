// ctest-labels: concurrency
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "cliploop/FrameClient.h"
#include "support/SharingTestSupport.h"

namespace cliploop::testing {
namespace {

using namespace std::chrono_literals;

class FrameServerTest : public SharingTest {
  protected:
    void SetUp() override {
        SharingTest::SetUp();
        server_ = FrameServer::create("Video", context_);
        ASSERT_TRUE(server_);
        client_ = FrameClient::connect("Video");
        ASSERT_TRUE(client_);
    }

    // Publishes until the client has a frame of these publications; returns the newest.
    std::optional<Frame> receive(double width, double height) {
        const uint64_t before = server_->frameCount();
        std::optional<Frame> frame;
        const bool got = eventually([&] {
            publish(width, height);
            frame = client_->receiveFrame(5ms);
            return frame && frame->frameNumber() > before;
        });
        return got ? std::move(frame) : std::nullopt;
    }

    std::unique_ptr<FrameClient> client_;
};

TEST_F(FrameServerTest, ClientsSeeTheZeroPictureThenEachSurfaceUprightUncopiedAndReadOnly) {
    // Before any image: a defined 512 by 512 all-zero picture.
    auto frame = receive(512, 512);
    ASSERT_TRUE(frame && frame->width() == 512 && frame->height() == 512);
    for (int y = 0; y < 512; ++y)
        ASSERT_EQ(std::count(frame->row(y), frame->row(y) + 2048, 0), 2048) << "row " << y;

    // Each row of the bound surface holds its own index.
    auto surface = bindNewSurface(64, 48, 0);
    for (int y = 0; y < 48; ++y) std::memset(surface->data() + y * surface->bytesPerRow(), y, 256);
    frame = receive(64, 48);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->height(), 48);    // a size change is seen in the same publication
    EXPECT_EQ(frame->row(47)[0], 47);  // flipped: the first row in memory is the top
    const int zeros = open("/dev/zero", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(read(zeros, const_cast<uint8_t*>(frame->row(0)), 1), -1);  // read-only: EFAULT
    close(zeros);
    surface->data()[0] = 200;  // the client maps the server's memory: no copy
    EXPECT_EQ(frame->row(0)[0], 200);
}

TEST_F(FrameServerTest, ASurfaceGoesToAClientOnceWithItsFirstFrame) {
    bindNewSurface(64, 32, 9);
    const int raw = connectRaw(listFrameServers().at(0).socketPath);
    ASSERT_TRUE(greet(raw));
    int descriptors = 0;
    for (int i = 0; i < 5; ++i) {
        pollfd p{raw, POLLIN, 0};
        ASSERT_TRUE(eventually([&] {
            publish(64, 32);
            return poll(&p, 1, 0) == 1;
        }));
        protocol::FrameMessage frame;
        int passed = -1;
        ASSERT_EQ(receiveMessage(raw, &frame, &passed), static_cast<ssize_t>(sizeof frame));
        EXPECT_EQ((frame.flags & protocol::kFrameCarriesSurface) != 0, passed >= 0);
        if (passed >= 0 && close(passed) == 0) ++descriptors;
        protocol::ReleaseMessage release;
        release.frameNumber = frame.frameNumber;
        ASSERT_EQ(sendMessage(raw, &release, sizeof release), static_cast<ssize_t>(sizeof release));
    }
    EXPECT_EQ(descriptors, 1);
    close(raw);
}

TEST_F(FrameServerTest, AClientHoldingTooManyFramesIsSkippedNotWaitedFor) {
    auto surface = bindNewSurface(64, 64, 1);
    auto steady = FrameClient::connect("Video");
    ASSERT_TRUE(receive(64, 64));
    // Its greeting may be read after the frames client_ got: publish on.
    ASSERT_TRUE(eventually([&] {
        publish(64, 64);
        return steady->receiveFrame(0ms).has_value();
    }));
    // Once every frame sent is released, only we and the texture hold the surface.
    ASSERT_TRUE(eventually([&] {
        client_->receiveFrame(0ms);
        steady->receiveFrame(0ms);
        return surface.use_count() == 2;
    }));
    std::vector<Frame> kept;
    for (int i = 0; i < 8; ++i) {
        publishAndDeliver(64, 64);
        if (auto frame = client_->receiveFrame(0ms)) kept.push_back(std::move(*frame));
    }
    EXPECT_EQ(kept.size(), protocol::kMaxHeldFrames);
    EXPECT_TRUE(steady->receiveFrame(0ms));  // others are served meanwhile
    kept.erase(kept.begin());
    EXPECT_TRUE(receive(64, 64));
}

TEST_F(FrameServerTest, SilentConnectionsMakeWayForAReceiverButNeverPushOutAGreetedOne) {
    const std::string socketPath = listFrameServers().at(0).socketPath;
    std::vector<int> silent;  // connected, never answering the greeting
    // Returns once the server has taken the last of them (greeted or shut
    // it), so none waits in the listening queue that a receiver would meet.
    auto connectSilently = [&](int count) {
        for (int i = 0; i < count; ++i) {
            silent.push_back(connectRaw(socketPath));
            ASSERT_GE(silent.back(), 0);
        }
        pollfd p{silent.back(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1);
    };
    connectSilently(256);
    ASSERT_FALSE(HasFatalFailure());
    auto late = FrameClient::connect("Video");
    ASSERT_TRUE(late);
    auto receivesFrames = [&](FrameClient& client) {
        return eventually([&] {
            publish(512, 512);
            return client.receiveFrame(5ms).has_value();
        });
    };
    EXPECT_TRUE(receivesFrames(*late));
    connectSilently(256);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(receivesFrames(*late));
    EXPECT_TRUE(receivesFrames(*client_));
    EXPECT_LE(server_->clientCount(), 64u);      // the places stay bounded
    EXPECT_TRUE(readsUntilEnd(silent.front()));  // greeted, then let go of
    for (const int fd : silent) close(fd);
}

TEST_F(FrameServerTest, SurfacesThatAreGoneAreUnmappedByTheClient) {
    ASSERT_TRUE(receive(512, 512));
    const int mappedBefore = mappedSurfaceCount();
    for (int i = 0; i < 40; ++i) {
        bindNewSurface(16 + i, 16, static_cast<uint8_t>(i));
        auto frame = receive(16 + i, 16);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->row(15)[0], i);
    }
    // The bound surface and the client's mappings of the few latest only.
    EXPECT_LE(mappedSurfaceCount() - mappedBefore, 8);
}

}  // namespace
}  // namespace cliploop::testing
