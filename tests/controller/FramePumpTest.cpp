// The frame pump serves "Video" from start-up; each tick a client sees, at the frame's size.
#include <algorithm>

#include "cliploop/FrameClient.h"
#include "support/AppFixture.h"

namespace cliploop::apptest {
namespace {

using FramePumpTest = InterfaceTest;

TEST_F(FramePumpTest, EachTickPublishesTheCurrentFrameAtItsSize) {
    std::string error;
    const auto client = FrameClient::connect("Video", getpid(), &error);
    ASSERT_TRUE(client) << error;
    // Served by the pump's own timer, until the test takes over the ticks.
    ASSERT_TRUE(eventually(
        [&] { return client->receiveFrame(std::chrono::milliseconds(10)).has_value(); }));
    controller_->timer->cancel();
    // One tick and the frame a client receives for it.
    auto tick = [&] {
        const uint64_t number = controller_->syphonServer->frameCount() + 1;
        controller_->videoCapturing();
        std::optional<Frame> frame;
        eventually([&] {
            frame = client->receiveFrame(std::chrono::milliseconds(5));
            return frame && frame->frameNumber() >= number;
        });
        EXPECT_TRUE(frame && frame->frameNumber() == number) << "publication " << number;
        return frame;
    };
    std::optional<Frame> frame = tick();  // no clip: the empty 512 x 512 texture, flipped
    ASSERT_TRUE(frame);
    EXPECT_EQ(std::pair(frame->width(), frame->height()), std::pair(512, 512));
    EXPECT_TRUE(frame->flipped());
    for (int y = 0; y < 512; y += 64)
        EXPECT_EQ(std::count(frame->row(y), frame->row(y) + 512 * 4, 0), 512 * 4) << y;
    frame.reset();

    // Ticks until the pump took the new clip's frame; that very tick's frame has its size.
    for (const auto& [width, height] : {std::pair{320, 240}, {160, 96}}) {
        controller_->selectVideoWithLoop(makeClip(width, height, 2.0));
        ASSERT_TRUE(eventually([&] {
            frame = tick();
            return controller_->size.width == width;
        }));
        ASSERT_TRUE(frame);
        EXPECT_EQ(std::pair(frame->width(), frame->height()), std::pair(width, height));
        EXPECT_EQ(frame->textureWidth(), width);
    }
}

}  // namespace
}  // namespace cliploop::apptest
