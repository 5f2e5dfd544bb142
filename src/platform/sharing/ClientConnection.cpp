#include "sharing/ClientConnection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cliploop {

using namespace protocol;

namespace {

// Messages handled per wake-up, so one chatty client cannot starve the rest.
constexpr int kMessagesPerRead = 64;

ClientConnection::SendResult sendResultOf(ssize_t sent, size_t expected) {
    if (sent == static_cast<ssize_t>(expected)) return ClientConnection::SendResult::Sent;
    if (sent < 0 && (errno == EAGAIN || errno == EINTR || errno == ENOBUFS)) {
        return ClientConnection::SendResult::Skipped;
    }
    return ClientConnection::SendResult::Drop;
}

}  // namespace

ClientConnection::ClientConnection(int fd, double connectedAt)
    : fd_(fd), connectedAt_(connectedAt) {}

ClientConnection::~ClientConnection() {
    close(fd_);
}

bool ClientConnection::sendHello(const std::string& serverName) {
    ServerHello hello;
    hello.pid = static_cast<int32_t>(getpid());
    hello.nameLength = static_cast<uint32_t>(std::min(serverName.size(), kMaxNameBytes));
    std::memcpy(hello.name, serverName.data(), hello.nameLength);
    return send(fd_, &hello, sizeof hello, MSG_DONTWAIT | MSG_NOSIGNAL) == sizeof hello;
}

ClientConnection::Outcome ClientConnection::readMessages() {
    for (int i = 0; i < kMessagesPerRead; ++i) {
        alignas(8) unsigned char buffer[kMaxMessageBytes];
        iovec iov{buffer, sizeof buffer};
        // No room for control data: descriptors a client tries to pass us are
        // closed by the kernel, and the attempt marks the message malformed.
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        const ssize_t got = recvmsg(fd_, &msg, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR) return Outcome::Keep;
            return Outcome::Drop;
        }
        if (got == 0 || (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) return Outcome::Drop;
        const size_t size = static_cast<size_t>(got);
        const auto type = messageType(buffer, size);
        if (!greeted_) {
            const auto hello =
                type == MessageType::ClientHello ? decode<ClientHello>(buffer, size) : std::nullopt;
            if (!hello || hello->magic != kMagic || hello->version != kVersion)
                return Outcome::Drop;
            greeted_ = true;
            continue;
        }
        const auto release =
            type == MessageType::Release ? decode<ReleaseMessage>(buffer, size) : std::nullopt;
        if (!release) return Outcome::Drop;
        auto held = std::find_if(held_.begin(), held_.end(), [&](const Held& h) {
            return h.frameNumber == release->frameNumber;
        });
        // Releasing a frame it does not hold is a confused or hostile client.
        if (held == held_.end()) return Outcome::Drop;
        held_.erase(held);
    }
    return Outcome::Keep;
}

ClientConnection::SendResult ClientConnection::sendForget(uint32_t surfaceId) {
    ForgetSurface forget;
    forget.surfaceId = surfaceId;
    return sendResultOf(send(fd_, &forget, sizeof forget, MSG_DONTWAIT | MSG_NOSIGNAL),
                        sizeof forget);
}

ClientConnection::SendResult ClientConnection::sendFrame(FrameMessage frame,
                                                         const std::shared_ptr<Surface>& surface,
                                                         double now) {
    // held_ is in the order frames were sent: its front is the oldest.
    if (!held_.empty() && now - held_.front().since > kHoldLimitSeconds) return SendResult::Drop;
    if (!greeted_ && now - connectedAt_ > kGreetingLimitSeconds) return SendResult::Drop;
    if (!greeted_ || held_.size() >= kMaxHeldFrames ||
        (!held_.empty() && now - held_.front().since > kHoldTimeoutSeconds)) {
        return SendResult::Skipped;
    }
    // Let the client unmap surfaces that no longer exist here; a Forget that
    // cannot be sent now is tried again with the next frame.
    for (auto given = given_.begin(); given != given_.end();) {
        if (!given->surface.expired()) {
            ++given;
            continue;
        }
        const SendResult result = sendForget(given->id);
        if (result != SendResult::Sent) return result;
        given = given_.erase(given);
    }
    const bool known = std::any_of(given_.begin(), given_.end(),
                                   [&](const Given& g) { return g.id == surface->id(); });
    if (!known && given_.size() >= kMaxSurfacesPerClient) {
        const SendResult result = sendForget(given_.front().id);
        if (result != SendResult::Sent) return result;
        given_.erase(given_.begin());
    }

    if (!known) frame.flags |= kFrameCarriesSurface;
    iovec iov{&frame, sizeof frame};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
    if (!known) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        const int surfaceFd = surface->fd();
        std::memcpy(CMSG_DATA(c), &surfaceFd, sizeof surfaceFd);
    }
    const SendResult result =
        sendResultOf(sendmsg(fd_, &msg, MSG_DONTWAIT | MSG_NOSIGNAL), sizeof frame);
    if (result != SendResult::Sent) return result;
    if (!known) given_.push_back({surface->id(), surface});
    held_.push_back({frame.frameNumber, surface, now});
    return SendResult::Sent;
}

}  // namespace cliploop
