#pragma once
// The graphics context and the frame server "Video" publishes through.
//
// There is no GPU here: a texture is a name whose storage is bound to a
// Surface, so binding a decoded frame to the shared texture copies no pixel,
// and publishing hands the surface itself (its memfd, once per client) to the
// server's clients. See docs/frame-sharing.md for the protocol.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "surface/Surface.h"

namespace cliploop {

// The constants the system passes, with their usual GL values.
namespace gl {
constexpr uint32_t kPixelFormatDoubleBuffer = 5;
constexpr uint32_t kPixelFormatColorSize = 8;
constexpr uint32_t kTextureRectangle = 0x84F5;
constexpr uint32_t kRGBA = 0x1908;
constexpr uint32_t kBGRA = 0x80E1;
constexpr uint32_t kUnsignedInt8888Rev = 0x8367;
}  // namespace gl

// A pixel format from a zero-terminated attribute list (attribute, value
// pairs; double buffer takes no value). Unknown attributes make no format.
class PixelFormat {
  public:
    static std::shared_ptr<PixelFormat> create(const std::vector<uint32_t>& attributes);
    int colorSize() const { return colorSize_; }
    bool doubleBuffer() const { return doubleBuffer_; }

  private:
    int colorSize_ = 32;
    bool doubleBuffer_ = false;
};

// Texture names and their surface storage. Thread-safe: any thread may make
// the context current and use it; calls name the context explicitly.
class GraphicsContext {
  public:
    // nullptr when the format cannot be served (only 32-bit colour can).
    static std::shared_ptr<GraphicsContext> create(const PixelFormat& format,
                                                   GraphicsContext* shareContext = nullptr);
    virtual ~GraphicsContext() = default;

    // Makes this context the calling thread's current one.
    virtual void makeCurrentContext() = 0;
    // The calling thread's current context, or nullptr.
    static GraphicsContext* currentContext();

    // A new texture name, never given out twice in the process; never 0 until
    // all 2^32 - 1 names are spent, 0 from then on.
    virtual uint32_t genTexture() = 0;
    // Binds `name` to `target` (only kTextureRectangle) on this context.
    virtual void bindTexture(uint32_t target, uint32_t name) = 0;
    // Makes `surface` (plane 0 only) the storage of the texture bound to
    // `target`, copying nothing. Returns 0 on success, a non-zero error when an
    // argument is refused (unknown target or formats, sizes that do not fit
    // the surface, no texture bound); the texture is then unchanged.
    virtual int texImageSurface2D(uint32_t target, uint32_t internalFormat, int32_t width,
                                  int32_t height, uint32_t format, uint32_t type,
                                  std::shared_ptr<Surface> surface, uint32_t plane) = 0;

    // What the server reads: the surface bound to a texture, if any.
    struct TextureImage {
        std::shared_ptr<Surface> surface;
        int32_t width = 0, height = 0;
    };
    virtual std::optional<TextureImage> textureImage(uint32_t name) const = 0;
};

struct FrameRect {
    double x = 0, y = 0, width = 0, height = 0;
};
struct FrameSize {
    double width = 0, height = 0;
};

// A frame server: found by other applications of the same user under its
// name, it sends each published frame to every connected client.
//
// publishFrameTexture never blocks and may be called from any thread: it hands
// the frame to the server's own I/O thread, which sends it to every client, so
// a slow, stalled or dead client loses frames, never delays the caller. The
// texture's surface is held from then on until every client has released the
// frame. A texture with no surface bound is published as an all-zero picture
// of the given size. A region reaching outside the texture's image is clipped
// to it; publications with a target other than kTextureRectangle or
// dimensions outside 1 to 16384 pixels are ignored.
// Anything that hands the textures of a graphics context to other programs:
// the frame server, and the PipeWire node beside it. Called from the frame
// pump's tick; never blocks, and when frames come faster than they go out the
// newest wins.
class TexturePublisher {
  public:
    virtual ~TexturePublisher() = default;
    virtual void publishFrameTexture(uint32_t texture, uint32_t target, FrameRect region,
                                     FrameSize dimensions, bool flipped) = 0;
};

class FrameServer : public TexturePublisher {
  public:
    // Starts serving under `name` with the textures of `context`; nullptr
    // when the server cannot be set up (no runtime directory, no socket).
    static std::shared_ptr<FrameServer> create(const std::string& name,
                                               std::shared_ptr<GraphicsContext> context);
    ~FrameServer() override = default;

    void publishFrameTexture(uint32_t texture, uint32_t target, FrameRect region,
                             FrameSize dimensions, bool flipped) override = 0;

    // Stops serving: ends every connection and withdraws the server's entry
    // and socket, so that no application finds it any more. Publications
    // from then on are ignored. Waits for the I/O thread to end; idempotent,
    // from any thread. The destructor stops too.
    virtual void stop() = 0;

    virtual const std::string& name() const = 0;
    virtual size_t clientCount() const = 0;
    // Frames published so far.
    virtual uint64_t frameCount() const = 0;
    // The number (1 for the first) of the newest publication the server has
    // finished handing to its clients; frames published faster than they go
    // out are superseded by newer ones and never sent.
    virtual uint64_t deliveredFrameNumber() const = 0;
};

}  // namespace cliploop
