#pragma once
// A PipeWire video source beside the frame server: the node "cliploop.<name>"
// (media class "Video/Source", role "Camera") that GStreamer's pipewiresrc,
// OBS Studio and any other PipeWire client read live.
//
// The node carries the picture last published, upright, as BGRx or BGRA at
// its own size; a publication of another size renegotiates the format.
// PipeWire is optional: without a daemon the publisher says so once and keeps
// trying, on its own thread, until one appears; when the daemon goes away the
// node comes back once it returns.
//
// publishFrameTexture keeps the frame server's contract (any thread, never
// blocks, never waits for PipeWire or a consumer, the newest frame wins). A
// texture without a surface is published as an all-zero picture. The pixels
// are copied into a PipeWire buffer on the publisher's own thread, once per
// new picture: the same surface, region and orientation again copies nothing.
#include <cstdint>
#include <memory>
#include <string>

#include "sharing/FrameSharing.h"

namespace cliploop {

class PipeWirePublisher : public TexturePublisher {
  public:
    // Publishes the textures of `context` as the node "cliploop.<name>".
    // nullptr only when the publisher's own thread cannot be set up.
    static std::shared_ptr<PipeWirePublisher> create(const std::string& name,
                                                     std::shared_ptr<GraphicsContext> context);
    ~PipeWirePublisher() override = default;

    virtual const std::string& nodeName() const = 0;
    // True while a consumer is linked and a format is agreed.
    virtual bool streaming() const = 0;
    // Publications taken so far (those of another target, of dimensions
    // outside 1 to 16384 pixels, or of a region that is not finite or lies
    // outside the texture's image are ignored), and pictures copied into
    // PipeWire buffers.
    virtual uint64_t frameCount() const = 0;
    virtual uint64_t copiedFrameCount() const = 0;
};

}  // namespace cliploop
