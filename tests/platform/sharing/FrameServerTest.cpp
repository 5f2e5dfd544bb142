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
    // Publishes until `client` has a frame of these publications; returns the newest.
    std::optional<Frame> receive(double width, double height, FrameClient* client = nullptr) {
        const uint64_t before = server_->frameCount();
        std::optional<Frame> frame;
        const bool got = eventually([&] {
            publish(width, height);
            frame = (client ? client : client_.get())->receiveFrame(5ms);
            return frame && frame->frameNumber() > before;
        });
        return got ? std::move(frame) : std::nullopt;
    }

    std::unique_ptr<FrameClient> client_;
};

TEST_F(FrameServerTest, ClientsSeeTheZeroPictureThenEachSurfaceUprightUncopiedAndReadOnly) {
    auto frame = receive(512, 512);  // before any image
    ASSERT_TRUE(frame && frame->width() == 512 && frame->height() == 512);
    for (int y = 0; y < 512; ++y)
        ASSERT_EQ(std::count(frame->row(y), frame->row(y) + 2048, 0), 2048) << "row " << y;
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

TEST_F(FrameServerTest, TheGreetingComesFirstAndASurfaceGoesToAClientOnce) {
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
        descriptors += passed >= 0 && close(passed) == 0;
        protocol::ReleaseMessage release;
        release.frameNumber = frame.frameNumber;
        ASSERT_EQ(sendMessage(raw, &release, sizeof release), static_cast<ssize_t>(sizeof release));
    }
    EXPECT_EQ(descriptors, 1);
    close(raw);
}

TEST_F(FrameServerTest, SilentConnectionsMakeWayForAReceiverButNeverPushOutAGreetedOne) {
    const std::string socketPath = listFrameServers().at(0).socketPath;
    std::vector<int> silent;  // connected, never answering the greeting
    // Waits until the server took the last one, so none queues ahead of a receiver.
    auto connectSilently = [&] {
        for (int i = 0; i < 256; ++i) silent.push_back(connectRaw(socketPath));
        pollfd p{silent.back(), POLLIN, 0};
        return std::count(silent.begin(), silent.end(), -1) == 0 && poll(&p, 1, 10000) == 1;
    };
    ASSERT_TRUE(connectSilently());
    auto late = FrameClient::connect("Video");
    ASSERT_TRUE(late);
    EXPECT_TRUE(receive(512, 512, late.get()));
    ASSERT_TRUE(connectSilently());
    EXPECT_TRUE(receive(512, 512, late.get()));
    EXPECT_TRUE(receive(512, 512));
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
    EXPECT_LE(mappedSurfaceCount() - mappedBefore, 8);  // the bound one and the few latest
}

// Stopped, even twice at once: gone from the directory, clients told, later frames ignored.
TEST_F(FrameServerTest, StopWithdrawsTheServerEndsItsClientsAndIgnoresLaterFrames) {
    ASSERT_TRUE(receive(512, 512));
    std::thread other([&] { server_->stop(); });
    server_->stop();
    other.join();
    EXPECT_TRUE(listFrameServers().empty());
    EXPECT_TRUE(std::filesystem::is_empty(runtimeDir_ + "/cliploop"));
    EXPECT_EQ(server_->clientCount(), 0u);
    EXPECT_TRUE(eventually([&] { return !client_->receiveFrame(5ms) && client_->ended(); }));
    const uint64_t published = server_->frameCount();
    publish(512, 512);
    EXPECT_EQ(server_->frameCount(), published);
    EXPECT_FALSE(FrameClient::connect("Video"));
    server_->stop();
}

}  // namespace
}  // namespace cliploop::testing
