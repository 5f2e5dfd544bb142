#pragma once
// One connected client of a frame server: its socket and what it holds.
//
// Used only on the server's I/O thread. Every send is non-blocking; a client
// that cannot take a message now simply misses that frame.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sharing/client/Protocol.h"
#include "surface/Surface.h"

namespace cliploop {

class ClientConnection {
  public:
    // Takes ownership of the socket `fd`, connected at host time `connectedAt`.
    ClientConnection(int fd, double connectedAt);
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    int fd() const { return fd_; }
    // Whether the client has answered the greeting.
    bool greeted() const { return greeted_; }

    // The greeting that opens every connection.
    bool sendHello(const std::string& serverName);

    enum class Outcome { Keep, Drop };
    // Reads what the client sent. Drop when it has gone or sent anything that
    // is not a well-formed message it may send now.
    Outcome readMessages();

    enum class SendResult { Sent, Skipped, Drop };
    // Sends `frame` on `surface` (passing the surface's descriptor the first
    // time), unless the client holds too many frames, has held one too long at
    // `now`, has not greeted us yet, or its socket is full. Drop when the
    // socket is broken, the client has held a frame beyond the limit, or it
    // has still not greeted us when the greeting's time is up.
    SendResult sendFrame(protocol::FrameMessage frame, const std::shared_ptr<Surface>& surface,
                         double now);

    size_t heldCount() const { return held_.size(); }

  private:
    SendResult sendForget(uint32_t surfaceId);

    // Surfaces whose descriptor this client has; it keeps them mapped until
    // told to forget them.
    struct Given {
        uint32_t id;
        std::weak_ptr<Surface> surface;
    };
    struct Held {
        uint64_t frameNumber;
        std::shared_ptr<Surface> surface;
        double since;
    };

    int fd_;
    double connectedAt_;
    bool greeted_ = false;
    std::vector<Held> held_;    // at most kMaxHeldFrames
    std::vector<Given> given_;  // at most kMaxSurfacesPerClient
};

}  // namespace cliploop
