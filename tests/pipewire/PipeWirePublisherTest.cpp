// ctest-labels: concurrency
// The publisher in this process, fed from test threads while its own thread talks to a daemon.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "pipewire/support/PipeWireDaemon.h"
#include "pipewiresource/PipeWirePublisher.h"

namespace cliploop::testing {
namespace {

using namespace std::chrono_literals;

struct Texture {
    std::shared_ptr<GraphicsContext> context = GraphicsContext::create(
        *PixelFormat::create({gl::kPixelFormatDoubleBuffer, gl::kPixelFormatColorSize, 32, 0}));
    uint32_t name = 0;
    Texture() {
        context->makeCurrentContext();
        name = context->genTexture();
    }

    // Binds a new surface showing picture `k`; returns it upright, as BGRA rows.
    std::string bind(int width, int height, int k, bool topDown) {
        auto surface = Surface::create(width, height);
        std::string upright;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const uint8_t pixel[4] = {uint8_t(x), uint8_t(y), uint8_t(40 * k), 255};
                const size_t row = size_t(topDown ? y : height - 1 - y);
                std::memcpy(surface->data() + row * surface->bytesPerRow() + 4 * x, pixel, 4);
                upright.append(reinterpret_cast<const char*>(pixel), 4);
            }
        context->bindTexture(gl::kTextureRectangle, name);
        context->texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, width, height, gl::kBGRA,
                                   gl::kUnsignedInt8888Rev, surface, 0);
        return upright;
    }
};

void publish(PipeWirePublisher& publisher, const Texture& texture, double width, double height,
             bool flipped) {
    publisher.publishFrameTexture(texture.name, gl::kTextureRectangle, {0, 0, width, height},
                                  {width, height}, flipped);
}

TEST(PipeWirePublisher, FollowsSizeChangesUprightAndCopiesEachPictureOnce) {
    PipeWireDaemon daemon;
    if (const std::string why = daemon.start(); !why.empty()) GTEST_SKIP() << why;
    Texture texture;
    auto publisher = PipeWirePublisher::create("Sizes", texture.context);
    ASSERT_TRUE(publisher);

    // Repeats of a picture add nothing: copied, they would go out before the next picture.
    const std::string path = daemon.runtimeDir() + "/frames.raw";
    std::unique_ptr<Child> gst;
    std::string expected;
    int k = 0;
    for (const auto& [width, height, topDown] :
         {std::tuple{320, 240, false}, {200, 120, true}, {200, 120, false}}) {
        expected += texture.bind(width, height, ++k, topDown);
        for (int i = 0; i < 10; ++i) publish(*publisher, texture, width, height, topDown);
        if (!gst) {
            ASSERT_TRUE(within(30s, [&] { return !daemon.node("cliploop.Sizes").empty(); }));
            gst = std::make_unique<Child>(consumer("cliploop.Sizes", path));
        }
        ASSERT_TRUE(within(30s, [&] { return readFile(path).size() >= expected.size(); })) << k;
    }
    EXPECT_TRUE(readFile(path) == expected);
    EXPECT_EQ(publisher->copiedFrameCount(), 3u);
    EXPECT_EQ(publisher->frameCount(), 30u);
}

// No daemon: pictures it cannot show are refused, and publications from many threads all count.
TEST(PipeWirePublisher, WithoutADaemonRefusesWhatItCannotShowAndCountsEveryThread) {
    PipeWireDaemon noDaemon;  // its runtime directory stays empty
    Texture texture;
    texture.bind(64, 48, 1, true);
    auto publisher = PipeWirePublisher::create("Refused", texture.context);
    ASSERT_TRUE(publisher);
    const double nan = std::nan("");
    using Case = std::tuple<uint32_t, FrameRect, FrameSize>;
    for (const auto& [target, region, dimensions] : {
             Case{0x0DE1, {0, 0, 64, 48}, {64, 48}},  // another target
             {gl::kTextureRectangle, {0, 0, 64, 48}, {0, 48}},
             {gl::kTextureRectangle, {nan, 0, 64, 48}, {64, 48}},
             {gl::kTextureRectangle, {64, 0, 10, 10}, {64, 48}},  // outside the image
         })
        publisher->publishFrameTexture(texture.name, target, region, dimensions, true);
    EXPECT_EQ(publisher->frameCount(), 0u) << "a picture it cannot show counted";

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) publish(*publisher, texture, 64 - t, 48, i % 2 == 0);
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(publisher->frameCount(), 2000u);
    EXPECT_EQ(publisher->copiedFrameCount(), 0u);
    EXPECT_FALSE(publisher->streaming());
}

}  // namespace
}  // namespace cliploop::testing
