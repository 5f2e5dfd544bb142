#include <gtest/gtest.h>

#include "sharing/FrameSharing.h"

namespace cliploop {
namespace {

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
    EXPECT_NE(bind(*context, 64), 0);  // nothing bound yet
    context->bindTexture(gl::kTextureRectangle, texture);
    EXPECT_NE(bind(*context, 65), 0);  // larger than the surface
    EXPECT_NE(bind(*context, 64, gl::kRGBA), 0);
    EXPECT_EQ(surface.use_count(), 1);  // refused: the texture holds nothing
    // A shared context binds the same texture; an unrelated one does not know it.
    shared->bindTexture(gl::kTextureRectangle, texture);
    ASSERT_EQ(bind(*shared, 64), 0);
    EXPECT_EQ(context->textureImage(texture)->surface, surface);  // the same memory, no copy
    EXPECT_FALSE(makeContext()->textureImage(texture));
    const std::weak_ptr<Surface> old = surface;
    surface = Surface::create(8, 32);
    EXPECT_FALSE(old.expired());  // the texture keeps it from reuse until another replaces it
    ASSERT_EQ(bind(*context, 8), 0);
    EXPECT_TRUE(old.expired());
}

}  // namespace
}  // namespace cliploop
