#pragma once
// The wire format between a frame server and its clients (version 1).
//
// Transport: a Unix-domain SOCK_SEQPACKET socket, so every message arrives
// whole or not at all, and a surface's file descriptor travels with the frame
// message that first names it (SCM_RIGHTS). Both ends run on the same machine,
// so fields are in native byte order; every message starts with its type.
//
// Conversation:
//   server -> client  ServerHello (always first; carries magic and version)
//   client -> server  ClientHello (the version the client speaks)
//   server -> client  FrameMessage, one per published frame the client is not
//                     skipped for; ForgetSurface when a surface the client was
//                     given is gone (the client unmaps it once no frame of it
//                     is held)
//   client -> server  ReleaseMessage for every frame it has let go of
//
// A frame message holds its surface for the client until released; a client
// that holds kMaxHeldFrames frames, or one frame longer than
// kHoldTimeoutSeconds, gets no new frames until it releases. One that holds a
// frame longer than kHoldLimitSeconds is disconnected and its surfaces go back
// to the decoder, so a stalled client can never starve playback of memory.
// One that has not answered the greeting within kGreetingLimitSeconds is
// disconnected too, and while it has not, a newcomer may take its place when
// the server has no other, so silent connections cannot use up the places.
// Anything malformed ends the connection.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace cliploop::protocol {

constexpr uint32_t kMagic = 0x53464c43;  // "CLFS"
constexpr uint32_t kVersion = 1;
constexpr uint32_t kMaxHeldFrames = 4;
// Surfaces a client has mapped at once; the server forgets one before it
// passes another beyond this.
constexpr size_t kMaxSurfacesPerClient = 16;
constexpr double kHoldTimeoutSeconds = 1.0;
constexpr double kHoldLimitSeconds = 3.0;
constexpr double kGreetingLimitSeconds = 3.0;
constexpr size_t kMaxNameBytes = 255;
// Larger than any message; a datagram that does not fit is malformed.
constexpr size_t kMaxMessageBytes = 512;
// Surfaces are never larger than this on either side.
constexpr int kMaxSurfaceDimension = 16384;

enum class MessageType : uint32_t {
    ServerHello = 1,
    ClientHello = 2,
    Frame = 3,
    ForgetSurface = 4,
    Release = 5,
};

struct ServerHello {
    uint32_t type = static_cast<uint32_t>(MessageType::ServerHello);
    uint32_t magic = kMagic;
    uint32_t version = kVersion;
    uint32_t maxHeldFrames = kMaxHeldFrames;
    int32_t pid = 0;
    uint32_t nameLength = 0;
    char name[kMaxNameBytes + 1] = {};
};

struct ClientHello {
    uint32_t type = static_cast<uint32_t>(MessageType::ClientHello);
    uint32_t magic = kMagic;
    uint32_t version = kVersion;
    uint32_t reserved = 0;
};

enum FrameFlags : uint32_t {
    // Rows are stored top-down (row 0 of the surface is the picture's top).
    // Without it, rows are bottom-up, as a GL texture's are.
    kFrameFlipped = 1u << 0,
    // The message carries the surface's file descriptor.
    kFrameCarriesSurface = 1u << 1,
};
constexpr uint32_t kKnownFrameFlags = kFrameFlipped | kFrameCarriesSurface;

struct FrameMessage {
    uint32_t type = static_cast<uint32_t>(MessageType::Frame);
    uint32_t flags = 0;
    uint64_t frameNumber = 0;
    // The surface: unique per server process, never reused.
    uint32_t surfaceId = 0;
    int32_t surfaceWidth = 0;
    int32_t surfaceHeight = 0;
    int32_t bytesPerRow = 0;
    uint64_t surfaceBytes = 0;
    // The published region, in surface pixels (x from the first column, y
    // from the first row in memory), always inside the surface.
    int32_t regionX = 0, regionY = 0, regionWidth = 0, regionHeight = 0;
    // The texture dimensions the frame was published with.
    int32_t width = 0, height = 0;
    // The host clock (CLOCK_MONOTONIC, seconds) when the frame was published.
    double hostTime = 0;
};

struct ForgetSurface {
    uint32_t type = static_cast<uint32_t>(MessageType::ForgetSurface);
    uint32_t surfaceId = 0;
};

struct ReleaseMessage {
    uint32_t type = static_cast<uint32_t>(MessageType::Release);
    uint32_t reserved = 0;
    uint64_t frameNumber = 0;
};

static_assert(sizeof(ServerHello) <= kMaxMessageBytes);
static_assert(sizeof(FrameMessage) == 72);
static_assert(sizeof(ReleaseMessage) == 16);

// The type of a received datagram, if it has one.
inline std::optional<MessageType> messageType(const void* data, size_t size) {
    if (size < sizeof(uint32_t)) return std::nullopt;
    uint32_t type;
    std::memcpy(&type, data, sizeof type);
    if (type < 1 || type > 5) return std::nullopt;
    return static_cast<MessageType>(type);
}

// Copies a datagram into a message of exactly its size; nullopt otherwise.
template <class Message>
std::optional<Message> decode(const void* data, size_t size) {
    if (size != sizeof(Message)) return std::nullopt;
    Message message;
    std::memcpy(&message, data, sizeof message);
    return message;
}

}  // namespace cliploop::protocol
