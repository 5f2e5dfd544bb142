// ctest-labels: concurrency
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "sharing/FrameSharing.h"

namespace cliploop {
namespace {

std::shared_ptr<GraphicsContext> makeContext(GraphicsContext* share = nullptr) {
    auto format =
        PixelFormat::create({gl::kPixelFormatDoubleBuffer, gl::kPixelFormatColorSize, 32, 0});
    return format ? GraphicsContext::create(*format, share) : nullptr;
}

int bindSurface(GraphicsContext& context, const std::shared_ptr<Surface>& surface, int width,
                int height) {
    return context.texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, width, height, gl::kBGRA,
                                     gl::kUnsignedInt8888Rev, surface, 0);
}

TEST(PixelFormat, AcceptsTheStartUpAttributesAndRefusesOthers) {
    auto format = PixelFormat::create({5, 8, 32, 0});
    ASSERT_TRUE(format);
    EXPECT_TRUE(format->doubleBuffer());
    EXPECT_EQ(format->colorSize(), 32);

    EXPECT_FALSE(PixelFormat::create({5, 8, 32}));  // no terminator
    EXPECT_FALSE(PixelFormat::create({8}));         // value missing
    EXPECT_FALSE(PixelFormat::create({99, 0}));     // unknown attribute
    auto sixteen = PixelFormat::create({8, 16, 0});
    ASSERT_TRUE(sixteen);
    EXPECT_FALSE(GraphicsContext::create(*sixteen));  // only 32-bit colour is served
}

TEST(GraphicsContext, TextureNamesAreNeverZeroNorGivenTwiceAcrossContextsAndThreads) {
    auto a = makeContext();
    auto b = makeContext();
    ASSERT_TRUE(a && b);
    std::vector<uint32_t> names[4];
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            GraphicsContext& context = t % 2 ? *a : *b;
            for (int i = 0; i < 2000; ++i) names[t].push_back(context.genTexture());
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<uint32_t> all;
    for (auto& list : names) all.insert(list.begin(), list.end());
    EXPECT_EQ(all.size(), 8000u);
    EXPECT_FALSE(all.contains(0));
}

TEST(GraphicsContext, MakeCurrentIsPerThread) {
    auto context = makeContext();
    context->makeCurrentContext();
    EXPECT_EQ(GraphicsContext::currentContext(), context.get());
    GraphicsContext* seenElsewhere = context.get();
    std::thread([&] { seenElsewhere = GraphicsContext::currentContext(); }).join();
    EXPECT_EQ(seenElsewhere, nullptr);
    context.reset();
    EXPECT_EQ(GraphicsContext::currentContext(), nullptr);
}

TEST(GraphicsContext, BindsASurfaceAsStorageWithoutCopyingAndHoldsIt) {
    auto context = makeContext();
    const uint32_t texture = context->genTexture();
    ASSERT_TRUE(context->textureImage(texture));
    EXPECT_FALSE(context->textureImage(texture)->surface);  // no image yet

    auto surface = Surface::create(64, 32);
    context->bindTexture(gl::kTextureRectangle, texture);
    ASSERT_EQ(bindSurface(*context, surface, 64, 32), 0);
    auto image = context->textureImage(texture);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->surface, surface);  // the same memory, no copy
    EXPECT_EQ(image->width, 64);
    EXPECT_EQ(image->height, 32);

    // The texture keeps the surface from being reused until another replaces it.
    image.reset();
    EXPECT_EQ(surface.use_count(), 2);
    ASSERT_EQ(bindSurface(*context, Surface::create(8, 8), 8, 8), 0);
    EXPECT_EQ(surface.use_count(), 1);
}

TEST(GraphicsContext, RefusedArgumentsLeaveTheTextureUnchanged) {
    auto context = makeContext();
    const uint32_t texture = context->genTexture();
    auto surface = Surface::create(16, 16);

    EXPECT_NE(bindSurface(*context, surface, 16, 16), 0);  // nothing bound yet
    context->bindTexture(0x0DE1 /* GL_TEXTURE_2D */, texture);
    EXPECT_NE(bindSurface(*context, surface, 16, 16), 0);    // other targets are not served
    context->bindTexture(gl::kTextureRectangle, 123456789);  // never generated
    EXPECT_NE(bindSurface(*context, surface, 16, 16), 0);

    context->bindTexture(gl::kTextureRectangle, texture);
    EXPECT_NE(bindSurface(*context, surface, 17, 16), 0);  // larger than the surface
    EXPECT_NE(bindSurface(*context, surface, 0, 16), 0);
    EXPECT_NE(bindSurface(*context, nullptr, 16, 16), 0);
    EXPECT_NE(context->texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, 16, 16, gl::kRGBA,
                                         gl::kUnsignedInt8888Rev, surface, 0),
              0);
    EXPECT_NE(context->texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, 16, 16, gl::kBGRA,
                                         gl::kUnsignedInt8888Rev, surface, 1),
              0);
    EXPECT_FALSE(context->textureImage(texture)->surface);
    EXPECT_EQ(surface.use_count(), 1);
}

TEST(GraphicsContext, SharedContextsSeeTheSameTextures) {
    auto first = makeContext();
    auto second = makeContext(first.get());
    auto unrelated = makeContext();
    const uint32_t texture = first->genTexture();
    auto surface = Surface::create(4, 4);
    second->bindTexture(gl::kTextureRectangle, texture);
    ASSERT_EQ(bindSurface(*second, surface, 4, 4), 0);
    EXPECT_EQ(first->textureImage(texture)->surface, surface);
    EXPECT_FALSE(unrelated->textureImage(texture));
}

}  // namespace
}  // namespace cliploop
