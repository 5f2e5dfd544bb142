#include "cliploop/FrameClient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "FrameGeometry.h"
#include "Protocol.h"
#include "ServerDirectory.h"
#include "SystemError.h"

namespace cliploop {

namespace detail {

// One surface of the server, mapped read-only. Frames share it, so it stays
// mapped while any frame of it is held, even after the server forgot it.
struct Mapping {
    const uint8_t* data = nullptr;
    size_t size = 0;
    int width = 0, height = 0, bytesPerRow = 0;
    ~Mapping() {
        if (data) munmap(const_cast<uint8_t*>(data), size);
    }
};

// The socket, shared by the client and its frames so that a frame can be
// released after its client is gone.
struct Connection {
    explicit Connection(int fd) : fd(fd) {}
    ~Connection() { close(fd); }

    const int fd;
    std::mutex mutex;  // guards `ended` and `pendingReleases`
    bool ended = false;
    std::vector<uint64_t> pendingReleases;
    // Only the receiving thread touches these two.
    std::map<uint32_t, std::shared_ptr<Mapping>> mappings;
    uint64_t lastFrameNumber = 0;

    void release(uint64_t frameNumber) {
        std::lock_guard lock(mutex);
        if (ended) return;
        pendingReleases.push_back(frameNumber);
        flushLocked();
    }

    void flush() {
        std::lock_guard lock(mutex);
        flushLocked();
    }

    void flushLocked() {
        while (!ended && !pendingReleases.empty()) {
            protocol::ReleaseMessage message;
            message.frameNumber = pendingReleases.front();
            const ssize_t sent = send(fd, &message, sizeof message, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent == static_cast<ssize_t>(sizeof message)) {
                pendingReleases.erase(pendingReleases.begin());
            } else if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
                return;  // the server reads continually; try again on the next call
            } else {
                endLocked();
            }
        }
    }

    void end() {
        std::lock_guard lock(mutex);
        endLocked();
    }

    void endLocked() {
        if (ended) return;
        ended = true;
        pendingReleases.clear();
        shutdown(fd, SHUT_RDWR);
    }

    bool hasEnded() {
        std::lock_guard lock(mutex);
        return ended;
    }
};

}  // namespace detail

namespace {

using namespace protocol;

struct Datagram {
    size_t size = 0;
    alignas(8) unsigned char bytes[kMaxMessageBytes];
    int fd = -1;  // a descriptor that came with it, owned
    ~Datagram() {
        if (fd >= 0) close(fd);
    }
};

enum class ReadResult { Message, Empty, End, Malformed };

ReadResult readDatagram(int fd, Datagram& datagram) {
    iovec iov{datagram.bytes, sizeof datagram.bytes};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t got;
    do {
        got = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return errno == EAGAIN ? ReadResult::Empty : ReadResult::End;
    if (got == 0) return ReadResult::End;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int received;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            if (datagram.fd < 0) {
                datagram.fd = received;
            } else {
                close(received);
                msg.msg_flags |= MSG_CTRUNC;
            }
        }
    }
    if (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) return ReadResult::Malformed;
    datagram.size = static_cast<size_t>(got);
    return ReadResult::Message;
}

// Maps a surface the server passed, after making sure it can never shrink
// under us (a shrunk file would fault on reading).
std::shared_ptr<detail::Mapping> mapSurface(int fd, const FrameMessage& m) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) < m.surfaceBytes) {
        return nullptr;
    }
    const int seals = fcntl(fd, F_GET_SEALS);
    if (seals < 0 || !(seals & F_SEAL_SHRINK)) return nullptr;
    void* data = mmap(nullptr, m.surfaceBytes, PROT_READ, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) return nullptr;
    auto mapping = std::make_shared<detail::Mapping>();
    mapping->data = static_cast<const uint8_t*>(data);
    mapping->size = m.surfaceBytes;
    mapping->width = m.surfaceWidth;
    mapping->height = m.surfaceHeight;
    mapping->bytesPerRow = m.bytesPerRow;
    return mapping;
}

}  // namespace

double hostTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<FrameServerInfo> listFrameServers() {
    std::vector<FrameServerInfo> servers;
    for (const auto& entry : directory::listEntries()) {
        servers.push_back({entry.name, entry.application, entry.pid, entry.socketPath});
    }
    return servers;
}

// --- Frame ---

Frame::Frame(Frame&& other) noexcept {
    *this = std::move(other);
}

Frame& Frame::operator=(Frame&& other) noexcept {
    if (this != &other) {
        release();
        connection_ = std::move(other.connection_);
        mapping_ = std::move(other.mapping_);
        frameNumber_ = other.frameNumber_;
        hostTime_ = other.hostTime_;
        flipped_ = other.flipped_;
        surfaceWidth_ = other.surfaceWidth_;
        surfaceHeight_ = other.surfaceHeight_;
        bytesPerRow_ = other.bytesPerRow_;
        regionX_ = other.regionX_;
        regionY_ = other.regionY_;
        regionWidth_ = other.regionWidth_;
        regionHeight_ = other.regionHeight_;
        textureWidth_ = other.textureWidth_;
        textureHeight_ = other.textureHeight_;
    }
    return *this;
}

Frame::~Frame() {
    release();
}

void Frame::release() {
    if (connection_) connection_->release(frameNumber_);
    connection_.reset();
    mapping_.reset();
}

const uint8_t* Frame::surfaceData() const {
    return mapping_ ? mapping_->data : nullptr;
}

const uint8_t* Frame::row(int y) const {
    if (!mapping_ || y < 0 || y >= regionHeight_) return nullptr;
    const int memoryRow = flipped_ ? regionY_ + y : regionY_ + regionHeight_ - 1 - y;
    return mapping_->data + static_cast<size_t>(memoryRow) * static_cast<size_t>(bytesPerRow_) +
           static_cast<size_t>(regionX_) * 4;
}

// --- FrameClient ---

std::unique_ptr<FrameClient> FrameClient::connect(const std::string& name, std::string* error) {
    std::optional<FrameServerInfo> newest;
    double newestStart = -1;
    for (const auto& entry : directory::listEntries()) {
        if (entry.name == name && entry.started >= newestStart) {
            newestStart = entry.started;
            newest = FrameServerInfo{entry.name, entry.application, entry.pid, entry.socketPath};
        }
    }
    if (!newest) {
        if (error) *error = "no frame server named \"" + name + "\"";
        return nullptr;
    }
    return connect(*newest, error);
}

std::unique_ptr<FrameClient> FrameClient::connect(const std::string& name, pid_t pid,
                                                  std::string* error) {
    for (const auto& server : listFrameServers()) {
        if (server.name == name && server.pid == pid) return connect(server, error);
    }
    if (error) *error = "no frame server named \"" + name + "\" in process " + std::to_string(pid);
    return nullptr;
}

std::unique_ptr<FrameClient> FrameClient::connect(const FrameServerInfo& server,
                                                  std::string* error) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<FrameClient> {
        if (error) *error = server.socketPath + ": " + why;
        return nullptr;
    };
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (server.socketPath.size() >= sizeof address.sun_path) return fail("path too long");
    std::memcpy(address.sun_path, server.socketPath.c_str(), server.socketPath.size() + 1);

    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(detail::systemErrorText(errno));
    auto connection = std::make_shared<detail::Connection>(fd);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return fail(detail::systemErrorText(errno));
    }
    ucred peer{};
    socklen_t peerSize = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0 || peer.uid != geteuid()) {
        return fail("the server runs as another user");
    }

    // The server speaks first, at once; a server that does not is not one.
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) return fail("no greeting from the server");
    Datagram datagram;
    if (readDatagram(fd, datagram) != ReadResult::Message || datagram.fd >= 0) {
        return fail("the server closed the connection");
    }
    const auto hello = decode<ServerHello>(datagram.bytes, datagram.size);
    if (!hello || hello->type != static_cast<uint32_t>(MessageType::ServerHello) ||
        hello->magic != kMagic) {
        return fail("not a frame server");
    }
    if (hello->version != kVersion) {
        return fail("protocol version " + std::to_string(hello->version) + " is not supported");
    }
    ClientHello reply;
    if (send(fd, &reply, sizeof reply, MSG_DONTWAIT | MSG_NOSIGNAL) != sizeof reply) {
        return fail(detail::systemErrorText(errno));
    }
    FrameServerInfo info = server;
    const size_t nameLength = std::min<size_t>(hello->nameLength, kMaxNameBytes);
    info.name.assign(hello->name, strnlen(hello->name, nameLength));
    return std::unique_ptr<FrameClient>(new FrameClient(std::move(info), std::move(connection)));
}

FrameClient::FrameClient(FrameServerInfo server, std::shared_ptr<detail::Connection> connection)
    : server_(std::move(server)), connection_(std::move(connection)) {}

FrameClient::~FrameClient() = default;

bool FrameClient::ended() const {
    return connection_->hasEnded();
}

int FrameClient::fileDescriptor() const {
    return connection_->fd;
}

std::optional<Frame> FrameClient::receiveFrame(std::chrono::milliseconds timeout) {
    const double deadline =
        hostTimeNow() + std::max(0.0, static_cast<double>(timeout.count())) / 1000.0;
    detail::Connection& c = *connection_;
    std::optional<Frame> newest;
    for (;;) {
        c.flush();
        bool broken = false;
        // Bounded, so that a server flooding us cannot keep this call from
        // returning.
        for (int count = 0; count < 256; ++count) {
            Datagram datagram;
            const ReadResult result = readDatagram(c.fd, datagram);
            if (result == ReadResult::Empty) break;
            if (result != ReadResult::Message) {
                broken = true;
                break;
            }
            const auto type = messageType(datagram.bytes, datagram.size);
            if (type == MessageType::ForgetSurface && datagram.fd < 0) {
                const auto forget = decode<ForgetSurface>(datagram.bytes, datagram.size);
                if (!forget) {
                    broken = true;
                    break;
                }
                c.mappings.erase(forget->surfaceId);
                continue;
            }
            const auto message = type == MessageType::Frame
                                     ? decode<FrameMessage>(datagram.bytes, datagram.size)
                                     : std::nullopt;
            if (!message || !frameGeometryIsSound(*message) ||
                message->frameNumber <= c.lastFrameNumber) {
                broken = true;
                break;
            }
            const bool carries = message->flags & kFrameCarriesSurface;
            std::shared_ptr<detail::Mapping> mapping;
            auto known = c.mappings.find(message->surfaceId);
            if (carries) {
                if (datagram.fd < 0 || known != c.mappings.end()) {
                    broken = true;
                    break;
                }
                mapping = c.mappings.size() < kMaxSurfacesPerClient
                              ? mapSurface(datagram.fd, *message)
                              : nullptr;
                if (mapping) c.mappings[message->surfaceId] = mapping;
            } else if (datagram.fd < 0 && known != c.mappings.end()) {
                mapping = known->second;
            }
            if (!mapping || mapping->width != message->surfaceWidth ||
                mapping->height != message->surfaceHeight ||
                mapping->bytesPerRow != message->bytesPerRow) {
                broken = true;
                break;
            }
            c.lastFrameNumber = message->frameNumber;
            Frame frame;
            frame.connection_ = connection_;
            frame.mapping_ = std::move(mapping);
            frame.frameNumber_ = message->frameNumber;
            frame.hostTime_ = message->hostTime;
            frame.flipped_ = message->flags & kFrameFlipped;
            frame.surfaceWidth_ = message->surfaceWidth;
            frame.surfaceHeight_ = message->surfaceHeight;
            frame.bytesPerRow_ = message->bytesPerRow;
            frame.regionX_ = message->regionX;
            frame.regionY_ = message->regionY;
            frame.regionWidth_ = message->regionWidth;
            frame.regionHeight_ = message->regionHeight;
            frame.textureWidth_ = message->width;
            frame.textureHeight_ = message->height;
            newest = std::move(frame);  // releases the one it replaces
        }
        if (broken) {
            c.end();
            c.mappings.clear();
        }
        if (newest || broken || c.hasEnded()) return newest;
        const double left = deadline - hostTimeNow();
        if (left <= 0) return std::nullopt;
        pollfd p{c.fd, POLLIN, 0};
        const int waitMs = static_cast<int>(std::min(left * 1000.0 + 1.0, 3600000.0));
        if (poll(&p, 1, waitMs) < 0 && errno != EINTR) {
            c.end();
            return std::nullopt;
        }
    }
}

}  // namespace cliploop
