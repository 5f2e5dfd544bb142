// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#include "cliploop/FrameClient.h"
#include "support/SharingTestSupport.h"

namespace cliploop {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::mappedSurfaceCount;

class FrameServerTest : public testing::SharingTest {
  protected:
    void SetUp() override {
        SharingTest::SetUp();
        makeContextAndTexture();
        server_ = FrameServer::create("Video", context_);
        ASSERT_TRUE(server_);
        client_ = FrameClient::connect("Video");
        ASSERT_TRUE(client_);
    }

    // Publishes until the client has a frame (the server starts sending once
    // it has read the greeting, and skips a client whose releases are on
    // their way) and returns the newest.
    std::optional<Frame> receive(double width, double height, bool flipped = true,
                                 FrameRect region = {}) {
        if (region.width == 0) region = {0, 0, width, height};
        std::optional<Frame> frame;
        eventually([&] {
            server_->publishFrameTexture(texture_, gl::kTextureRectangle, region, {width, height},
                                         flipped);
            frame = client_->receiveFrame(5ms);
            return frame.has_value();
        });
        return frame;
    }

    std::unique_ptr<FrameClient> client_;
};

TEST_F(FrameServerTest, ClientsSeeTheZeroPictureThenEachSurfaceUprightUncopiedAndResized) {
    // Before any image: a defined 512 by 512 all-zero picture.
    auto frame = receive(512, 512);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 512);
    EXPECT_EQ(frame->height(), 512);
    EXPECT_EQ(frame->textureWidth(), 512);
    EXPECT_TRUE(frame->flipped());
    EXPECT_LE(frame->hostTime(), hostTimeNow());
    bool allZero = true;
    for (int y = 0; y < 512; ++y)
        allZero &= std::count(frame->row(y), frame->row(y) + 2048, 0) == 2048;
    EXPECT_TRUE(allZero);

    // Each row of the bound surface holds its own index.
    auto surface = bindNewSurface(64, 48, 0);
    for (int y = 0; y < 48; ++y) std::memset(surface->data() + y * surface->bytesPerRow(), y, 256);
    frame = receive(64, 48);  // a size change is seen in the same publication
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->surfaceWidth(), 64);
    EXPECT_EQ(frame->height(), 48);
    EXPECT_EQ(frame->row(0)[0], 0);  // flipped: the first row in memory is the top
    EXPECT_EQ(frame->row(47)[0], 47);
    surface->data()[0] = 200;  // the client maps the server's memory: no copy
    EXPECT_EQ(frame->row(0)[0], 200);
    surface->data()[0] = 0;
    frame->release();
    EXPECT_EQ(frame->row(0), nullptr);

    // Not flipped: rows are bottom-up, as in a GL texture.
    frame = receive(64, 48, false, {8, 10, 16, 20});
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->regionX(), 8);
    EXPECT_EQ(frame->width(), 16);
    EXPECT_EQ(frame->row(0)[0], 29);  // the region's last row in memory
    EXPECT_EQ(frame->row(19), frame->surfaceData() + 10 * surface->bytesPerRow() + 8 * 4);
    // A region reaching outside the image is clipped to it.
    frame = receive(64, 48, true, {-5, 40, 100, 100});
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->regionX(), 0);
    EXPECT_EQ(frame->regionY(), 40);
    EXPECT_EQ(frame->width(), 64);
    EXPECT_EQ(frame->height(), 8);

    bindNewSurface(1920, 1080, 7);
    frame = receive(1920, 1080);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 1920);
    EXPECT_EQ(frame->row(1079)[7679], 7);
}

TEST_F(FrameServerTest, ASurfaceAClientHoldsIsNotReusedUntilReleased) {
    SurfacePool pool(2);
    auto first = bind(pool.acquire(32, 32));
    const uint32_t firstId = first->id();
    first.reset();
    auto held = receive(32, 32);
    ASSERT_TRUE(held);
    // The texture moves on to the other surface; the client still holds the first.
    bind(pool.acquire(32, 32));
    EXPECT_FALSE(pool.acquire(32, 32));  // nothing left to decode into
    held->release();
    std::shared_ptr<Surface> reused;
    EXPECT_TRUE(eventually([&] { return (reused = pool.acquire(32, 32)) != nullptr; }));
    EXPECT_EQ(reused->id(), firstId);
}

TEST_F(FrameServerTest, AClientHoldingTooManyFramesIsSkippedNotWaitedFor) {
    auto surface = bindNewSurface(64, 64, 1);
    auto steady = FrameClient::connect("Video");
    ASSERT_TRUE(receive(64, 64));
    ASSERT_TRUE(eventually([&] { return steady->receiveFrame(0ms).has_value(); }));
    // Every frame sent so far has been released: only we and the texture hold the surface.
    ASSERT_TRUE(eventually([&] { return surface.use_count() == 2; }));

    std::vector<Frame> kept;
    for (int i = 0; i < 8; ++i) {
        publishAndDeliver(64, 64);
        if (auto frame = client_->receiveFrame(0ms)) kept.push_back(std::move(*frame));
    }
    EXPECT_EQ(kept.size(), 4u);
    EXPECT_TRUE(steady->receiveFrame(0ms));  // others are served meanwhile
    kept.erase(kept.begin());
    EXPECT_TRUE(receive(64, 64));
}

TEST_F(FrameServerTest, AClientHoldingAFrameTooLongIsSkippedThenCutOffAndItsSurfacesGoBack) {
    auto surface = bindNewSurface(64, 64, 3);
    auto stalled = FrameClient::connect("Video");
    auto slowFrame = receive(64, 64);  // client_ holds it for a while, then lets go
    ASSERT_TRUE(slowFrame);
    std::optional<Frame> held;
    ASSERT_TRUE(eventually([&] {
        publish(64, 64);
        return (held = stalled->receiveFrame(5ms)).has_value();
    }));
    // Frames of earlier attempts may still be on their way: hold the newest.
    publishAndDeliver(64, 64);
    if (auto newer = client_->receiveFrame(0ms)) slowFrame = std::move(newer);
    const std::weak_ptr<Surface> heldSurface = surface;
    surface.reset();
    bindNewSurface(64, 64, 4);  // only the clients hold the old surface now

    std::this_thread::sleep_for(1100ms);
    publishAndDeliver(64, 64);
    EXPECT_FALSE(client_->receiveFrame(0ms));
    slowFrame->release();
    EXPECT_TRUE(receive(64, 64));  // served again once it lets go

    std::this_thread::sleep_for(2000ms);
    publishAndDeliver(64, 64);
    EXPECT_TRUE(eventually([&] {
        stalled->receiveFrame(0ms);
        return stalled->ended() && heldSurface.expired();
    }));
    EXPECT_EQ(held->row(0)[0], 3);  // still mapped on the client's side
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

TEST_F(FrameServerTest, PublishingWithoutClientsOnlyCountsFramesAndUnshowableOnesAreIgnored) {
    client_.reset();
    ASSERT_TRUE(eventually([&] { return server_->clientCount() == 0; }));
    const int mappedBefore = mappedSurfaceCount();
    for (int i = 0; i < 100; ++i) publish(512, 512);
    EXPECT_EQ(server_->frameCount(), 100u);
    EXPECT_EQ(mappedSurfaceCount(), mappedBefore);  // no zero picture made for nobody
    server_->publishFrameTexture(texture_, 0x0DE1, {0, 0, 8, 8}, {8, 8}, true);
    publish(0, 0);
    publish(std::nan(""), 8);
    publish(1e9, 8);
    EXPECT_EQ(server_->frameCount(), 100u);
}

}  // namespace
}  // namespace cliploop
