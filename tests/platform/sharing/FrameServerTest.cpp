// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
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
    }

    std::unique_ptr<FrameClient> connectClient() {
        std::string error;
        auto client = FrameClient::connect("Video", &error);
        EXPECT_TRUE(client) << error;
        return client;
    }

    // Publishes until `client` has a frame: the server starts sending once it
    // has read the client's greeting, and skips a client while its releases
    // are still on their way.
    std::optional<Frame> publishUntilReceived(FrameClient& client, double width, double height,
                                              bool flipped = true) {
        return receiveWhile(client, [&] { publish(width, height, flipped); });
    }
    std::optional<Frame> receiveWhile(FrameClient& client, const std::function<void()>& publisher) {
        std::optional<Frame> frame;
        eventually([&] {
            publisher();
            frame = client.receiveFrame(5ms);
            return frame.has_value();
        });
        return frame;
    }

    // Paints every row with its own value so rows can be told apart.
    static void paintRows(Surface& surface) {
        for (int y = 0; y < surface.height(); ++y) {
            std::memset(surface.data() + y * surface.bytesPerRow(), y & 0xff,
                        surface.bytesPerRow());
        }
    }
};

TEST_F(FrameServerTest, BeforeAnyImageClientsSeeA512By512AllZeroPicture) {
    auto client = connectClient();
    auto frame = publishUntilReceived(*client, 512, 512);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 512);
    EXPECT_EQ(frame->height(), 512);
    EXPECT_EQ(frame->textureWidth(), 512);
    EXPECT_EQ(frame->textureHeight(), 512);
    EXPECT_TRUE(frame->flipped());
    EXPECT_GE(frame->frameNumber(), 1u);
    EXPECT_LE(frame->hostTime(), hostTimeNow());
    bool allZero = true;
    for (int y = 0; y < frame->height(); ++y) {
        const uint8_t* row = frame->row(y);
        for (int x = 0; x < frame->width() * 4; ++x) allZero &= row[x] == 0;
    }
    EXPECT_TRUE(allZero);
}

TEST_F(FrameServerTest, ABoundSurfaceReachesTheClientUncopiedWithRegionAndOrientation) {
    auto surface = bindNewSurface(64, 48, 0);
    paintRows(*surface);
    auto client = connectClient();
    auto frame = publishUntilReceived(*client, 64, 48);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->surfaceWidth(), 64);
    EXPECT_EQ(frame->surfaceHeight(), 48);
    EXPECT_EQ(frame->bytesPerRow(), surface->bytesPerRow());
    EXPECT_EQ(frame->row(0)[0], 0);  // flipped: the first row in memory is the top
    EXPECT_EQ(frame->row(47)[0], 47);
    // The client maps the server's memory itself: a later write shows through.
    surface->data()[0] = 200;
    EXPECT_EQ(frame->row(0)[0], 200);
    surface->data()[0] = 0;
    frame->release();
    EXPECT_EQ(frame->row(0), nullptr);

    // Not flipped: rows are bottom-up, as in a GL texture.
    frame = receiveWhile(*client, [&] {
        server_->publishFrameTexture(texture_, gl::kTextureRectangle, {8, 10, 16, 20}, {64, 48},
                                     false);
    });
    ASSERT_TRUE(frame);
    EXPECT_FALSE(frame->flipped());
    EXPECT_EQ(frame->regionX(), 8);
    EXPECT_EQ(frame->regionY(), 10);
    EXPECT_EQ(frame->width(), 16);
    EXPECT_EQ(frame->height(), 20);
    EXPECT_EQ(frame->row(0)[0], 29);  // the region's last row in memory
    EXPECT_EQ(frame->row(19)[0], 10);
    EXPECT_EQ(frame->row(0), frame->surfaceData() + 29 * surface->bytesPerRow() + 8 * 4);

    // A region reaching outside the image is clipped to it.
    frame = receiveWhile(*client, [&] {
        server_->publishFrameTexture(texture_, gl::kTextureRectangle, {-5, 40, 100, 100}, {64, 48},
                                     true);
    });
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->regionX(), 0);
    EXPECT_EQ(frame->regionY(), 40);
    EXPECT_EQ(frame->width(), 64);
    EXPECT_EQ(frame->height(), 8);
}

TEST_F(FrameServerTest, ASizeChangeIsSeenInTheSamePublication) {
    auto client = connectClient();
    ASSERT_TRUE(publishUntilReceived(*client, 512, 512));
    bindNewSurface(1920, 1080, 7);
    auto frame = publishUntilReceived(*client, 1920, 1080);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 1920);
    EXPECT_EQ(frame->height(), 1080);
    EXPECT_EQ(frame->row(1079)[7679], 7);

    bindNewSurface(640, 360, 9);
    frame = publishUntilReceived(*client, 640, 360);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 640);
    EXPECT_EQ(frame->height(), 360);
    EXPECT_EQ(frame->row(0)[0], 9);
}

TEST_F(FrameServerTest, ASurfaceAClientHoldsIsNotReusedUntilReleased) {
    SurfacePool pool(2);
    auto client = connectClient();
    ASSERT_TRUE(publishUntilReceived(*client, 512, 512));

    auto first = pool.acquire(32, 32);
    const uint32_t firstId = first->id();
    context_->bindTexture(gl::kTextureRectangle, texture_);
    ASSERT_EQ(context_->texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, 32, 32, gl::kBGRA,
                                          gl::kUnsignedInt8888Rev, first, 0),
              0);
    first.reset();
    auto held = publishUntilReceived(*client, 32, 32);
    ASSERT_TRUE(held);

    // The texture moves on to another surface; the client still holds the first.
    auto second = pool.acquire(32, 32);
    ASSERT_TRUE(second);
    EXPECT_NE(second->id(), firstId);
    ASSERT_EQ(context_->texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, 32, 32, gl::kBGRA,
                                          gl::kUnsignedInt8888Rev, second, 0),
              0);
    second.reset();
    EXPECT_FALSE(pool.acquire(32, 32));  // one bound, one held: nothing to decode into

    held->release();
    std::shared_ptr<Surface> reused;
    EXPECT_TRUE(eventually([&] { return (reused = pool.acquire(32, 32)) != nullptr; }));
    EXPECT_EQ(reused->id(), firstId);
}

TEST_F(FrameServerTest, AClientHoldingTooManyFramesIsSkippedNotWaitedFor) {
    auto surface = bindNewSurface(64, 64, 1);
    auto greedy = connectClient();
    auto steady = connectClient();
    ASSERT_TRUE(publishUntilReceived(*steady, 64, 64));
    ASSERT_TRUE(eventually([&] { return greedy->receiveFrame(0ms).has_value(); }));
    // Every frame sent so far has been released: only we and the texture hold
    // the surface.
    ASSERT_TRUE(eventually([&] { return surface.use_count() == 2; }));

    std::vector<Frame> kept;
    for (int i = 0; i < 8; ++i) {
        publishAndDeliver(64, 64);
        if (auto frame = greedy->receiveFrame(0ms)) kept.push_back(std::move(*frame));
    }
    EXPECT_EQ(kept.size(), 4u);
    EXPECT_TRUE(publishUntilReceived(*steady, 64, 64));  // others are served meanwhile

    kept.erase(kept.begin());
    EXPECT_TRUE(eventually([&] {
        publish(64, 64);
        return greedy->receiveFrame(0ms).has_value();
    }));
}

TEST_F(FrameServerTest, AClientHoldingAFrameTooLongIsSkippedUntilItReleases) {
    auto slow = connectClient();
    auto held = publishUntilReceived(*slow, 512, 512);
    ASSERT_TRUE(held);
    // Frames of earlier attempts may still have been on their way: hold the
    // newest of all.
    publishAndDeliver(512, 512);
    if (auto newer = slow->receiveFrame(0ms)) held = std::move(newer);
    std::this_thread::sleep_for(1100ms);
    publishAndDeliver(512, 512);
    EXPECT_FALSE(slow->receiveFrame(0ms));
    held->release();
    EXPECT_TRUE(publishUntilReceived(*slow, 512, 512));
}

TEST_F(FrameServerTest, AClientStalledForSecondsIsCutOffAndItsSurfacesGoBack) {
    auto surface = bindNewSurface(64, 64, 3);
    auto stalled = connectClient();
    auto held = publishUntilReceived(*stalled, 64, 64);
    ASSERT_TRUE(held);
    const std::weak_ptr<Surface> heldSurface = surface;
    surface.reset();
    bindNewSurface(64, 64, 4);  // the texture moves on; only the client holds the old one
    std::this_thread::sleep_for(3100ms);
    publishAndDeliver(64, 64);
    EXPECT_TRUE(eventually([&] { return heldSurface.expired(); }));
    EXPECT_TRUE(eventually([&] {
        stalled->receiveFrame(0ms);
        return stalled->ended();
    }));
    EXPECT_EQ(held->row(0)[0], 3);  // still mapped on the client's side
}

TEST_F(FrameServerTest, SurfacesThatAreGoneAreUnmappedByTheClient) {
    const int mappedBefore = mappedSurfaceCount();
    auto client = connectClient();
    ASSERT_TRUE(publishUntilReceived(*client, 512, 512));
    for (int i = 0; i < 40; ++i) {
        bindNewSurface(16 + i, 16, static_cast<uint8_t>(i));
        auto frame = publishUntilReceived(*client, 16 + i, 16);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->row(15)[0], i);
    }
    // The server's zero picture, the bound surface and the client's mappings
    // of the few latest: not one per frame ever sent.
    EXPECT_LE(mappedSurfaceCount() - mappedBefore, 8);
    client.reset();
    server_.reset();
    context_.reset();
    EXPECT_EQ(mappedSurfaceCount(), mappedBefore);
}

TEST_F(FrameServerTest, PublishingWithoutClientsOnlyCountsFrames) {
    const int mappedBefore = mappedSurfaceCount();
    for (int i = 0; i < 100; ++i) publish(512, 512);
    EXPECT_EQ(server_->frameCount(), 100u);
    EXPECT_EQ(server_->clientCount(), 0u);
    EXPECT_EQ(mappedSurfaceCount(), mappedBefore);  // no zero picture made for nobody

    // Publications that cannot be shown are not counted.
    server_->publishFrameTexture(texture_, 0x0DE1, {0, 0, 8, 8}, {8, 8}, true);
    publish(0, 0);
    publish(std::nan(""), 8);
    publish(1e9, 8);
    EXPECT_EQ(server_->frameCount(), 100u);
}

TEST_F(FrameServerTest, PublishersClientsAndBindingsOnManyThreadsAtOnce) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                publish(64, 64);
                std::this_thread::yield();
            }
        });
    }
    threads.emplace_back([&] {
        SurfacePool pool(8);
        while (!stop.load()) {
            if (auto surface = pool.acquire(64, 64)) {
                context_->bindTexture(gl::kTextureRectangle, texture_);
                context_->texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, 64, 64, gl::kBGRA,
                                            gl::kUnsignedInt8888Rev, surface, 0);
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    std::atomic<int> received{0};
    for (int c = 0; c < 3; ++c) {
        threads.emplace_back([&] {
            for (int round = 0; round < 5; ++round) {
                auto client = FrameClient::connect("Video");
                if (!client) continue;
                for (int i = 0; i < 20; ++i) {
                    if (auto frame = client->receiveFrame(100ms)) {
                        received += frame->row(frame->height() - 1) != nullptr;
                    }
                }
            }
        });
    }
    for (size_t i = 3; i < threads.size(); ++i) threads[i].join();
    stop = true;
    for (size_t i = 0; i < 3; ++i) threads[i].join();
    EXPECT_GT(received.load(), 0);
    EXPECT_TRUE(eventually([&] { return server_->clientCount() == 0; }));
}

}  // namespace
}  // namespace cliploop
