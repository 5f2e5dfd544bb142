#include <gtest/gtest.h>

#include "sharing/FrameSharing.h"

namespace cliploop {
namespace {

std::shared_ptr<GraphicsContext> makeContext(GraphicsContext* share = nullptr) {
    auto format =
        PixelFormat::create({gl::kPixelFormatDoubleBuffer, gl::kPixelFormatColorSize, 32, 0});
    return format ? GraphicsContext::create(*format, share) : nullptr;
}

int bindSurface(GraphicsContext& context, const std::shared_ptr<Surface>& surface, int width,
                int height, uint32_t format = gl::kBGRA) {
    return context.texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, width, height, format,
                                     gl::kUnsignedInt8888Rev, surface, 0);
}

TEST(GraphicsContext, BindsASurfaceAsStorageWithoutCopyingAndRefusesWhatDoesNotFit) {
    EXPECT_FALSE(PixelFormat::create({5, 8, 32}));  // no terminator
    auto context = makeContext();
    auto shared = makeContext(context.get());
    const uint32_t texture = context->genTexture();
    auto surface = Surface::create(64, 32);
    EXPECT_NE(bindSurface(*context, surface, 64, 32), 0);  // nothing bound yet
    context->bindTexture(gl::kTextureRectangle, texture);
    EXPECT_NE(bindSurface(*context, surface, 65, 32), 0);  // larger than the surface
    EXPECT_NE(bindSurface(*context, surface, 64, 32, gl::kRGBA), 0);
    EXPECT_EQ(surface.use_count(), 1);  // refused: the texture holds nothing

    // A shared context binds the same texture; an unrelated one does not know it.
    shared->bindTexture(gl::kTextureRectangle, texture);
    ASSERT_EQ(bindSurface(*shared, surface, 64, 32), 0);
    EXPECT_EQ(context->textureImage(texture)->surface, surface);  // the same memory, no copy
    EXPECT_FALSE(makeContext()->textureImage(texture));
    // The texture keeps the surface from being reused until another replaces it.
    EXPECT_EQ(surface.use_count(), 2);
    ASSERT_EQ(bindSurface(*context, Surface::create(8, 8), 8, 8), 0);
    EXPECT_EQ(surface.use_count(), 1);
}

}  // namespace
}  // namespace cliploop
