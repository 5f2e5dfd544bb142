// ctest-labels: concurrency
// A surface is handed out again only after its last holder let go; a full pool's waiter sleeps.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>

#include "sharing/FrameSharing.h"
#include "surface/Surface.h"

namespace cliploop::testing {
namespace {

using namespace std::chrono_literals;

TEST(SurfacePool, ReuseAndWaitersWaitForTheLastHolderStaleSizesGoSurfacesOutliveThePool) {
    for (const bool heldThroughResize : {false, true}) {
        SCOPED_TRACE(heldThroughResize ? "held when resized" : "free when resized");
        auto pool = std::make_unique<SurfacePool>(2);
        auto reader = pool->acquire(64, 64);  // as a view holds one
        const uint32_t oldId = reader->id();
        if (!heldThroughResize) reader.reset();
        auto resized = pool->acquire(32, 16), other = pool->acquire(32, 16);
        ASSERT_TRUE(resized && resized->id() != oldId && resized->width() == 32);
        EXPECT_EQ(!other, heldThroughResize);  // the held one still counts against the limit
        reader.reset();
        EXPECT_EQ(pool->liveCount(), heldThroughResize ? 1u : 2u);  // freed on its return
        const uint32_t resizedId = resized->id();
        resized.reset();
        EXPECT_EQ(pool->acquire(32, 16)->id(), resizedId);
        pool.reset();  // with `other` out and a surface on its free list
        if (other) std::memset(other->data(), 0x7f, other->byteSize());
    }
    SurfacePool pool(1);  // a full pool's waiter sleeps until one comes back or it is cancelled
    auto held = pool.acquire(16, 16);
    const uint32_t id = held->id();
    std::atomic<bool> cancelled{false};
    const auto waiter = [&] {
        return pool.acquireWaiting(16, 16, [&] { return cancelled.load(); });
    };
    auto first = std::async(std::launch::async, waiter);
    pool.wake();  // neither a return nor a cancellation: it sleeps on
    EXPECT_EQ(first.wait_for(0s), std::future_status::timeout);
    held.reset();
    const auto returned = first.get();
    EXPECT_TRUE(returned && returned->id() == id);
    auto second = std::async(std::launch::async, waiter);
    cancelled = true, pool.wake();
    EXPECT_FALSE(second.get());
}

std::shared_ptr<GraphicsContext> makeContext(GraphicsContext* share = nullptr) {
    auto format =
        PixelFormat::create({gl::kPixelFormatDoubleBuffer, gl::kPixelFormatColorSize, 32, 0});
    return format ? GraphicsContext::create(*format, share) : nullptr;
}

TEST(GraphicsContext, BindsASurfaceAsStorageWithoutCopyingAndRefusesWhatDoesNotFit) {
    EXPECT_FALSE(PixelFormat::create({5, 8, 32}));  // no terminator
    auto context = makeContext(), shared = makeContext(context.get());
    const uint32_t texture = context->genTexture();
    auto surface = Surface::create(64, 32);
    const auto bind = [&](GraphicsContext& in, int width, uint32_t format = gl::kBGRA) {
        return in.texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, width, 32, format,
                                    gl::kUnsignedInt8888Rev, surface, 0);
    };
    EXPECT_NE(bind(*context, 64), 0);                      // nothing bound yet
    context->bindTexture(gl::kTextureRectangle, texture);  // too large, wrong format: refused
    EXPECT_TRUE(bind(*context, 65) && bind(*context, 64, gl::kRGBA) && surface.use_count() == 1);
    // A shared context binds the same texture; an unrelated one does not know it.
    shared->bindTexture(gl::kTextureRectangle, texture);
    ASSERT_EQ(bind(*shared, 64), 0);
    EXPECT_EQ(context->textureImage(texture)->surface, surface);  // the same memory, no copy
    EXPECT_FALSE(makeContext()->textureImage(texture));
    const std::weak_ptr<Surface> old = surface;
    surface = Surface::create(8, 32);
    EXPECT_FALSE(old.expired());  // the texture keeps it from reuse until another replaces it
    EXPECT_TRUE(bind(*context, 8) == 0 && old.expired());
}

}  // namespace
}  // namespace cliploop::testing
