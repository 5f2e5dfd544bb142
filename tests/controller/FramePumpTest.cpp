// The frame pump's tick: with and without a new frame, across a change of
// frame size (seen by a client in the very tick), and without a server.
#include "cliploop/FrameClient.h"
#include "support/AppFixture.h"

namespace cliploop::apptest {
namespace {

class FramePumpTest : public InterfaceTest {
  protected:
    void SetUp() override {
        InterfaceTest::SetUp();
        stopPump();
        std::string error;
        client_ = FrameClient::connect("Video", getpid(), &error);
        ASSERT_TRUE(client_) << error;
        ASSERT_TRUE(eventually([&] { return controller_->syphonServer->clientCount() == 1; }));
    }

    // One tick and the frame a client receives for it.
    std::optional<Frame> tick() {
        const uint64_t number = controller_->syphonServer->frameCount() + 1;
        controller_->videoCapturing();
        std::optional<Frame> frame;
        eventually([&] {
            std::optional<Frame> got = client_->receiveFrame(std::chrono::milliseconds(5));
            if (got && got->frameNumber() >= number) frame = std::move(got);
            return frame.has_value();
        });
        EXPECT_TRUE(frame && frame->frameNumber() == number) << "publication " << number;
        return frame;
    }

    // Ticks until the pump took a `width` x `height` frame; that tick's frame.
    std::optional<Frame> tickUntilSize(int width, int height) {
        std::optional<Frame> frame;
        const bool reached = eventually([&] {
            frame = tick();
            return controller_->size.width == width && controller_->size.height == height;
        });
        EXPECT_TRUE(reached) << "size stayed " << controller_->size.width;
        return reached ? std::move(frame) : std::nullopt;
    }

    std::unique_ptr<FrameClient> client_;
};

TEST_F(FramePumpTest, EachTickPublishesTheCurrentFrameAtItsSizeOrTheLastOneAgain) {
    for (int i = 0; i < 3; ++i) {  // no clip: the empty 512 x 512 texture
        std::optional<Frame> frame = tick();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->width(), 512);
        EXPECT_EQ(frame->height(), 512);
    }
    EXPECT_FALSE(controller_->context->textureImage(controller_->texture)->surface);

    controller_->selectVideoWithLoop(makeClip(320, 240, 2.0));
    std::optional<Frame> frame = tickUntilSize(320, 240);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 320);
    EXPECT_EQ(frame->height(), 240);
    EXPECT_EQ(frame->textureWidth(), 320);
    // Upright: the white band on top, green below it.
    EXPECT_EQ(shadeOf(frame->row(5) + 4 * 160), Shade::White);
    EXPECT_EQ(shadeOf(frame->row(230) + 4 * 160), Shade::Green);
    frame.reset();

    // Paused: no new frames, the same surface goes out again.
    controller_->player->setRate(0);
    for (int i = 0; i < 5; ++i) tick();  // whatever was due before the pause
    const auto image = controller_->context->textureImage(controller_->texture);
    ASSERT_TRUE(image && image->surface);
    const uint32_t surfaceId = image->surface->id();
    for (int i = 0; i < 3; ++i) {
        frame = tick();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->width(), 320);
        EXPECT_EQ(controller_->context->textureImage(controller_->texture)->surface->id(),
                  surfaceId);
    }
    frame.reset();

    controller_->selectVideoWithLoop(makeClip(160, 96, 2.0));
    frame = tickUntilSize(160, 96);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 160);
    EXPECT_EQ(frame->height(), 96);
}

TEST_F(FramePumpTest, WithoutAServerTicksStillUpload) {
    client_.reset();
    controller_->syphonServer.reset();
    controller_->selectVideoWithLoop(makeClip(320, 240, 2.0));
    EXPECT_TRUE(eventually([&] {
        controller_->videoCapturing();
        const auto image = controller_->context->textureImage(controller_->texture);
        return image && image->surface && image->width == 320;
    }));
}

}  // namespace
}  // namespace cliploop::apptest
