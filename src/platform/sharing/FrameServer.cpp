#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "foundation/HostClock.h"
#include "sharing/ClientConnection.h"
#include "sharing/FrameRegion.h"
#include "sharing/FrameSharing.h"
#include "sharing/client/ServerDirectory.h"

namespace cliploop {

namespace {

// At most this many connected clients; it bounds what a server spends on
// others. When all places are taken, the oldest connection that has not
// answered the greeting makes way for a newcomer, so that silent connections
// (a client stuck in a loop of connecting) cannot lock receivers out; a
// newcomer is turned away only when every place holds a greeted client.
constexpr size_t kMaxClients = 64;
constexpr uint64_t kListenKey = 0;
constexpr uint64_t kWakeKey = 1;

std::atomic<uint64_t> nextServerSerial{1};

// Publishing threads only leave the newest frame in a slot and wake the I/O
// thread; the I/O thread owns every client and does all socket work, so a
// publication costs the same whatever the clients do, and nothing a client
// does can hold a publishing thread up.
class SocketFrameServer final : public FrameServer {
  public:
    SocketFrameServer(std::string name, std::shared_ptr<GraphicsContext> context, int listenFd,
                      int epollFd, int wakeFd,
                      std::unique_ptr<directory::Registration> registration)
        : name_(std::move(name)),
          context_(std::move(context)),
          listenFd_(listenFd),
          epollFd_(epollFd),
          wakeFd_(wakeFd),
          registration_(std::move(registration)) {
        thread_ = std::thread([this] { run(); });
    }

    ~SocketFrameServer() override {
        stop();
        close(listenFd_);
        close(epollFd_);
        close(wakeFd_);
    }

    void stop() override {
        std::lock_guard lock(stopMutex_);
        if (!thread_.joinable()) return;
        stopping_.store(true);
        wake();
        thread_.join();
        registration_.reset();  // no lister may find us any more
        clients_.clear();
        clientCount_.store(0);
        std::unique_ptr<Pending> unsent;
        {
            std::lock_guard pendingLock(pendingMutex_);
            unsent = std::move(pending_);
        }
    }

    void publishFrameTexture(uint32_t texture, uint32_t target, FrameRect region,
                             FrameSize dimensions, bool flipped) override {
        if (stopping_.load()) return;
        const auto width = frameregion::pixelsOf(dimensions.width);
        const auto height = frameregion::pixelsOf(dimensions.height);
        if (target != gl::kTextureRectangle || !width || !height) return;
        const uint64_t frameNumber = frameCount_.fetch_add(1, std::memory_order_relaxed) + 1;
        if (clientCount_.load(std::memory_order_relaxed) == 0) {
            markDelivered(frameNumber);
            return;
        }
        auto frame = std::make_unique<Pending>();
        frame->image = context_->textureImage(texture);
        frame->region = region;
        frame->width = *width;
        frame->height = *height;
        frame->flipped = flipped;
        frame->frameNumber = frameNumber;
        frame->hostTime = hostTime();
        bool wasEmpty;
        {
            std::lock_guard lock(pendingMutex_);
            wasEmpty = !pending_;
            // An older frame not sent yet is superseded, and let go of outside
            // the lock.
            std::swap(pending_, frame);
        }
        if (wasEmpty) wake();
    }

    const std::string& name() const override { return name_; }
    size_t clientCount() const override { return clientCount_.load(); }
    uint64_t frameCount() const override { return frameCount_.load(); }
    uint64_t deliveredFrameNumber() const override {
        return delivered_.load(std::memory_order_acquire);
    }

  private:
    using Clients = std::map<uint64_t, std::unique_ptr<ClientConnection>>;

    struct Pending {
        std::optional<GraphicsContext::TextureImage> image;
        FrameRect region;
        int32_t width = 0, height = 0;
        bool flipped = false;
        uint64_t frameNumber = 0;
        double hostTime = 0;
    };

    // Publishing threads and the I/O thread both report; the number only grows.
    void markDelivered(uint64_t frameNumber) {
        uint64_t current = delivered_.load(std::memory_order_relaxed);
        while (current < frameNumber &&
               !delivered_.compare_exchange_weak(current, frameNumber, std::memory_order_release,
                                                 std::memory_order_relaxed)) {
        }
    }

    void wake() {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);
    }

    // The all-zero picture a texture without an image shows, kept for the
    // next publication of the same size.
    std::shared_ptr<Surface> zeroSurface(int32_t width, int32_t height) {
        if (!zeroSurface_ || zeroSurface_->width() != width || zeroSurface_->height() != height) {
            zeroSurface_ = Surface::create(width, height);  // memfds start zero-filled
        }
        return zeroSurface_;
    }

    void deliver(const Pending& frame) {
        std::shared_ptr<Surface> surface;
        int32_t extentWidth, extentHeight;
        if (frame.image && frame.image->surface) {
            surface = frame.image->surface;
            extentWidth = frame.image->width;
            extentHeight = frame.image->height;
        } else {
            surface = zeroSurface(frame.width, frame.height);
            extentWidth = frame.width;
            extentHeight = frame.height;
        }
        if (!surface) return;
        const auto columns = frameregion::clipSpan(frame.region.x, frame.region.width, extentWidth);
        const auto rows = frameregion::clipSpan(frame.region.y, frame.region.height, extentHeight);
        if (!columns || !rows) return;
        protocol::FrameMessage message;
        message.regionX = columns->start;
        message.regionWidth = columns->length;
        message.regionY = rows->start;
        message.regionHeight = rows->length;
        message.flags = frame.flipped ? uint32_t{protocol::kFrameFlipped} : 0u;
        message.frameNumber = frame.frameNumber;
        message.surfaceId = surface->id();
        message.surfaceWidth = surface->width();
        message.surfaceHeight = surface->height();
        message.bytesPerRow = surface->bytesPerRow();
        message.surfaceBytes = surface->byteSize();
        message.width = frame.width;
        message.height = frame.height;
        message.hostTime = frame.hostTime;
        const double now = hostTime();
        for (auto client = clients_.begin(); client != clients_.end();) {
            if (client->second->sendFrame(message, surface, now) ==
                ClientConnection::SendResult::Drop) {
                client = drop(client);
            } else {
                ++client;
            }
        }
    }

    Clients::iterator drop(Clients::iterator client) {
        epoll_ctl(epollFd_, EPOLL_CTL_DEL, client->second->fd(), nullptr);
        auto next = clients_.erase(client);
        clientCount_.store(clients_.size());
        return next;
    }

    void run() {
        epoll_event events[32];
        bool acceptPaused = false;
        while (!stopping_.load()) {
            // While out of descriptors, accepting is paused and retried now and
            // then instead of spinning on a listening socket that stays readable.
            const int count = epoll_wait(epollFd_, events, 32, acceptPaused ? 100 : -1);
            if (acceptPaused) {
                epoll_event resume{EPOLLIN, {.u64 = kListenKey}};
                if (epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &resume) == 0) {
                    acceptPaused = false;
                }
            }
            for (int i = 0; i < count; ++i) {
                const uint64_t key = events[i].data.u64;
                if (key == kWakeKey) {
                    uint64_t ignored;
                    [[maybe_unused]] const ssize_t got = read(wakeFd_, &ignored, sizeof ignored);
                } else if (key == kListenKey) {
                    if (!acceptClients()) {
                        epoll_event pause{0, {.u64 = kListenKey}};
                        epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &pause);
                        acceptPaused = true;
                    }
                } else if (auto client = clients_.find(key); client != clients_.end()) {
                    const bool readable = events[i].events & EPOLLIN;
                    if (!readable ||
                        client->second->readMessages() == ClientConnection::Outcome::Drop) {
                        drop(client);
                    }
                }
            }
            // Releases read above count before the next frame goes out.
            std::unique_ptr<Pending> frame;
            {
                std::lock_guard lock(pendingMutex_);
                frame = std::move(pending_);
            }
            if (frame) {
                deliver(*frame);
                markDelivered(frame->frameNumber);
            }
        }
    }

    // Makes a place by dropping the longest-connected client that has not
    // greeted us; false when every client has. A greeting already on its way
    // is read first, so a receiver is not taken for a silent connection.
    bool evictOldestUngreeted() {
        // Keys grow with each connection: the map is in the order they came.
        for (auto client = clients_.begin(); client != clients_.end(); ++client) {
            if (client->second->greeted()) continue;
            if (client->second->readMessages() == ClientConnection::Outcome::Keep &&
                client->second->greeted()) {
                continue;
            }
            drop(client);
            return true;
        }
        return false;
    }

    // Accepts pending connections, a bounded number per wake-up so that a
    // flood of them cannot hold up frames (the rest wait for the next turn);
    // false when out of descriptors.
    bool acceptClients() {
        for (size_t accepted = 0; accepted < kMaxClients; ++accepted) {
            const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return errno == EAGAIN;
            }
            ucred peer{};
            socklen_t peerSize = sizeof peer;
            const bool sameUser = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) == 0 &&
                                  peer.uid == geteuid();
            if (!sameUser || (clients_.size() >= kMaxClients && !evictOldestUngreeted())) {
                close(fd);
                continue;
            }
            auto client = std::make_unique<ClientConnection>(fd, hostTime());
            const uint64_t key = nextClientKey_++;
            epoll_event event{EPOLLIN | EPOLLRDHUP, {.u64 = key}};
            if (!client->sendHello(name_) || epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
                continue;  // the connection closes with `client`
            }
            clients_.emplace(key, std::move(client));
            clientCount_.store(clients_.size());
        }
        return true;
    }

    const std::string name_;
    const std::shared_ptr<GraphicsContext> context_;
    const int listenFd_, epollFd_, wakeFd_;
    std::unique_ptr<directory::Registration> registration_;
    std::thread thread_;
    // Held by stop(), so that a second caller waits until the first is done.
    std::mutex stopMutex_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> frameCount_{0};
    std::atomic<uint64_t> delivered_{0};
    std::atomic<size_t> clientCount_{0};

    std::mutex pendingMutex_;
    std::unique_ptr<Pending> pending_;  // guarded by pendingMutex_

    // The I/O thread's own.
    Clients clients_;
    uint64_t nextClientKey_ = 2;  // after the listening socket's and the wake-up's
    std::shared_ptr<Surface> zeroSurface_;
};

}  // namespace

std::shared_ptr<FrameServer> FrameServer::create(const std::string& name,
                                                 std::shared_ptr<GraphicsContext> context) {
    if (!context || !directory::isValidServerName(name)) return nullptr;
    const auto dir = directory::userDirectory(true);
    if (!dir) return nullptr;
    const std::string socketPath = directory::Registration::socketPathFor(
        *dir, name, nextServerSerial.fetch_add(1, std::memory_order_relaxed));
    if (socketPath.empty()) return nullptr;

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    // The name holds our process id, so a file there is a leftover of a dead
    // process that had our id before.
    unlink(socketPath.c_str());
    const int listenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd < 0) return nullptr;
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    auto fail = [&]() -> std::shared_ptr<FrameServer> {
        unlink(socketPath.c_str());
        close(listenFd);
        if (epollFd >= 0) close(epollFd);
        if (wakeFd >= 0) close(wakeFd);
        return nullptr;
    };
    if (epollFd < 0 || wakeFd < 0 ||
        bind(listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd, 64) != 0) {
        return fail();
    }
    epoll_event listenEvent{EPOLLIN, {.u64 = kListenKey}};
    epoll_event wakeEvent{EPOLLIN, {.u64 = kWakeKey}};
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, listenFd, &listenEvent) != 0 ||
        epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &wakeEvent) != 0) {
        return fail();
    }
    auto registration =
        directory::Registration::announce(socketPath, name, program_invocation_short_name);
    if (!registration) return fail();
    return std::make_shared<SocketFrameServer>(name, std::move(context), listenFd, epollFd, wakeFd,
                                               std::move(registration));
}

}  // namespace cliploop
