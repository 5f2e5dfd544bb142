#include <atomic>
#include <limits>
#include <map>
#include <mutex>

#include "sharing/FrameSharing.h"

namespace cliploop {

namespace {

// GL's error values, returned by texImageSurface2D.
constexpr int kInvalidEnum = 0x0500;
constexpr int kInvalidValue = 0x0501;
constexpr int kInvalidOperation = 0x0502;

thread_local GraphicsContext* currentContextOfThread = nullptr;

// Names are unique in the process, not only per context, so a name can never
// be mistaken for another context's texture.
std::atomic<uint64_t> nextTextureName{1};

// The textures of a context and of every context sharing with it.
struct TextureTable {
    mutable std::mutex mutex;
    std::map<uint32_t, GraphicsContext::TextureImage> textures;  // no surface: no image yet
};

class SurfaceContext final : public GraphicsContext {
  public:
    explicit SurfaceContext(std::shared_ptr<TextureTable> table) : table_(std::move(table)) {}
    ~SurfaceContext() override {
        if (currentContextOfThread == this) currentContextOfThread = nullptr;
    }

    std::shared_ptr<TextureTable> table() const { return table_; }

    void makeCurrentContext() override { currentContextOfThread = this; }

    uint32_t genTexture() override {
        const uint64_t name = nextTextureName.fetch_add(1, std::memory_order_relaxed);
        if (name > std::numeric_limits<uint32_t>::max()) return 0;
        std::lock_guard lock(table_->mutex);
        table_->textures.emplace(static_cast<uint32_t>(name), TextureImage{});
        return static_cast<uint32_t>(name);
    }

    void bindTexture(uint32_t target, uint32_t name) override {
        if (target != gl::kTextureRectangle) return;
        std::lock_guard lock(table_->mutex);
        if (name != 0 && !table_->textures.contains(name)) return;  // not one of ours
        bound_.store(name, std::memory_order_relaxed);
    }

    int texImageSurface2D(uint32_t target, uint32_t internalFormat, int32_t width, int32_t height,
                          uint32_t format, uint32_t type, std::shared_ptr<Surface> surface,
                          uint32_t plane) override {
        if (target != gl::kTextureRectangle || internalFormat != gl::kRGBA || format != gl::kBGRA ||
            type != gl::kUnsignedInt8888Rev) {
            return kInvalidEnum;
        }
        if (!surface || plane != 0 || width < 1 || height < 1 || width > surface->width() ||
            height > surface->height()) {
            return kInvalidValue;
        }
        const uint32_t name = bound_.load(std::memory_order_relaxed);
        std::lock_guard lock(table_->mutex);
        auto texture = table_->textures.find(name);
        if (name == 0 || texture == table_->textures.end()) return kInvalidOperation;
        // The previous surface is let go here, so the decoder may reuse it
        // once no client holds it any more.
        texture->second = TextureImage{std::move(surface), width, height};
        return 0;
    }

    std::optional<TextureImage> textureImage(uint32_t name) const override {
        std::lock_guard lock(table_->mutex);
        auto texture = table_->textures.find(name);
        if (texture == table_->textures.end()) return std::nullopt;
        return texture->second;
    }

  private:
    std::shared_ptr<TextureTable> table_;
    std::atomic<uint32_t> bound_{0};
};

}  // namespace

std::shared_ptr<GraphicsContext> GraphicsContext::create(const PixelFormat& format,
                                                         GraphicsContext* shareContext) {
    if (format.colorSize() != 32) return nullptr;
    std::shared_ptr<TextureTable> table;
    if (shareContext) {
        auto* shared = dynamic_cast<SurfaceContext*>(shareContext);
        if (!shared) return nullptr;
        table = shared->table();
    } else {
        table = std::make_shared<TextureTable>();
    }
    return std::make_shared<SurfaceContext>(std::move(table));
}

GraphicsContext* GraphicsContext::currentContext() {
    return currentContextOfThread;
}

}  // namespace cliploop
