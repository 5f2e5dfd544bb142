// The frame pump serves "Video" from start-up; each tick a client sees, at the frame's size.
#include <algorithm>

#include "cliploop/FrameClient.h"
#include "support/AppFixture.h"

namespace cliploop::apptest {
namespace {

class FramePumpTest : public InterfaceTest {
  protected:
    // A client served by the pump's own timer, until the test takes over the ticks.
    void SetUp() override {
        InterfaceTest::SetUp();
        std::string error;
        client_ = FrameClient::connect("Video", getpid(), &error);
        ASSERT_TRUE(client_) << error;
        ASSERT_TRUE(eventually(
            [&] { return client_->receiveFrame(std::chrono::milliseconds(10)).has_value(); }));
        controller_->timer->cancel();
    }

    // One tick and the frame a client receives for it.
    std::optional<Frame> tick() {
        const uint64_t number = controller_->syphonServer->frameCount() + 1;
        controller_->videoCapturing();
        std::optional<Frame> frame;
        eventually([&] {
            frame = client_->receiveFrame(std::chrono::milliseconds(5));
            return frame && frame->frameNumber() >= number;
        });
        EXPECT_TRUE(frame && frame->frameNumber() == number) << "publication " << number;
        return frame;
    }

    // Ticks until the pump took a `width` x `height` frame; that very tick's frame has its size.
    void tickUntilSize(int width, int height) {
        std::optional<Frame> frame;
        ASSERT_TRUE(eventually([&] {
            frame = tick();
            return controller_->size.width == width;
        }));
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->width(), width);
        EXPECT_EQ(frame->height(), height);
        EXPECT_EQ(frame->textureWidth(), width);
    }

    std::unique_ptr<FrameClient> client_;
};

TEST_F(FramePumpTest, EachTickPublishesTheCurrentFrameAtItsSize) {
    std::optional<Frame> frame = tick();  // no clip: the empty 512 x 512 texture, flipped
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 512);
    EXPECT_EQ(frame->height(), 512);
    EXPECT_TRUE(frame->flipped());
    for (int y = 0; y < 512; y += 64)
        EXPECT_EQ(std::count(frame->row(y), frame->row(y) + 512 * 4, 0), 512 * 4) << y;
    frame.reset();

    controller_->selectVideoWithLoop(makeClip(320, 240, 2.0));
    tickUntilSize(320, 240);
    controller_->selectVideoWithLoop(makeClip(160, 96, 2.0));
    tickUntilSize(160, 96);
}

}  // namespace
}  // namespace cliploop::apptest
