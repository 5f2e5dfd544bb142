#pragma once
// Receiving frames from cliploop's frame servers (for example "Video").
//
//   #include "cliploop/FrameClient.h"
//   auto client = cliploop::FrameClient::connect("Video");
//   while (client) {
//       auto frame = client->receiveFrame(std::chrono::milliseconds(100));
//       if (!frame) { if (client->ended()) break; continue; }
//       for (int row = 0; row < frame->height(); ++row) {
//           const uint8_t* bgra = frame->row(row);  // top row first
//           ...
//       }
//   }  // a Frame releases itself when destroyed
//
// Pixels are 32-bit BGRA (blue first in memory), mapped read-only straight
// from the server's surface: nothing is copied. A frame's pixels stay valid
// and unchanged until the frame is released, and stay readable even after the
// server ends.
// The server lends each client at most a few frames at a time: hold on to one
// only while you read it. A client that holds a frame for more than a second
// gets no new ones until it releases, and after 3 seconds the server ends the
// connection and takes the memory back (the frame's pixels may then change).
//
// Threads: a FrameClient is used by one thread at a time. Frames may be
// released on any thread, and may outlive their client.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What libcliploop-client.so exports: this header's API and nothing else
// (members that take the library's own types stay inside).
#define CLIPLOOP_CLIENT_API __attribute__((visibility("default")))
#define CLIPLOOP_CLIENT_INTERNAL __attribute__((visibility("hidden")))

namespace cliploop {

struct FrameServerInfo {
    std::string name;         // the name clients connect by, e.g. "Video"
    std::string application;  // the program that serves it
    pid_t pid = 0;
    std::string socketPath;
};

// Every frame server of this user that is running now. Entries of servers
// whose process has died are removed on the way.
CLIPLOOP_CLIENT_API std::vector<FrameServerInfo> listFrameServers();

namespace detail {
struct Connection;
struct Mapping;
}  // namespace detail

class CLIPLOOP_CLIENT_API Frame {
  public:
    Frame(Frame&&) noexcept;
    Frame& operator=(Frame&&) noexcept;
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    ~Frame();

    // Counts the server's publications, from 1; never repeats.
    uint64_t frameNumber() const { return frameNumber_; }
    // The server's host clock when it published the frame (CLOCK_MONOTONIC,
    // seconds); compare with hostTimeNow() for latency.
    double hostTime() const { return hostTime_; }

    // The picture: the published region, upright.
    int width() const { return regionWidth_; }
    int height() const { return regionHeight_; }
    // Row `y` of the picture counted from its top (0 <= y < height()):
    // width() BGRA pixels, read-only.
    const uint8_t* row(int y) const;

    // The storage as published, for callers that want to draw it themselves.
    // `flipped` set means rows are stored top-down (the first row in memory is
    // the picture's top); clear means bottom-up, as in a GL texture.
    bool flipped() const { return flipped_; }
    const uint8_t* surfaceData() const;
    int surfaceWidth() const { return surfaceWidth_; }
    int surfaceHeight() const { return surfaceHeight_; }
    int bytesPerRow() const { return bytesPerRow_; }
    // The region in surface pixels (x from the first column, y from the first
    // row in memory).
    int regionX() const { return regionX_; }
    int regionY() const { return regionY_; }
    // The texture dimensions the server published with.
    int textureWidth() const { return textureWidth_; }
    int textureHeight() const { return textureHeight_; }

    // Gives the frame back to the server; the pixels must not be read after.
    // Idempotent; done by the destructor too.
    void release();

  private:
    friend class FrameClient;
    Frame() = default;
    std::shared_ptr<detail::Connection> connection_;
    std::shared_ptr<detail::Mapping> mapping_;
    uint64_t frameNumber_ = 0;
    double hostTime_ = 0;
    bool flipped_ = false;
    int surfaceWidth_ = 0, surfaceHeight_ = 0, bytesPerRow_ = 0;
    int regionX_ = 0, regionY_ = 0, regionWidth_ = 0, regionHeight_ = 0;
    int textureWidth_ = 0, textureHeight_ = 0;
};

class CLIPLOOP_CLIENT_API FrameClient {
  public:
    // Connects to the server called `name` (the most recently started one when
    // several run), or to the one of that name in process `pid`. nullptr, with
    // the reason in `error`, when there is none or it refuses us.
    static std::unique_ptr<FrameClient> connect(const std::string& name,
                                                std::string* error = nullptr);
    static std::unique_ptr<FrameClient> connect(const std::string& name, pid_t pid,
                                                std::string* error = nullptr);
    static std::unique_ptr<FrameClient> connect(const FrameServerInfo& server,
                                                std::string* error = nullptr);
    ~FrameClient();
    FrameClient(const FrameClient&) = delete;
    FrameClient& operator=(const FrameClient&) = delete;

    const FrameServerInfo& server() const { return server_; }

    // Waits up to `timeout` for a frame newer than the last one returned and
    // returns the newest that has arrived; older ones are released unseen.
    // nullopt on timeout, and once the stream has ended.
    std::optional<Frame> receiveFrame(std::chrono::milliseconds timeout);
    // True once the server has gone away or broke the protocol; no frame will
    // come any more.
    bool ended() const;
    // Readable when a message waits: for callers with an event loop of their
    // own (then call receiveFrame with a zero timeout).
    int fileDescriptor() const;

  private:
    CLIPLOOP_CLIENT_INTERNAL FrameClient(FrameServerInfo server,
                                         std::shared_ptr<detail::Connection> connection);
    FrameServerInfo server_;
    std::shared_ptr<detail::Connection> connection_;
};

// The host clock frames are stamped with (CLOCK_MONOTONIC, seconds).
CLIPLOOP_CLIENT_API double hostTimeNow();

}  // namespace cliploop
