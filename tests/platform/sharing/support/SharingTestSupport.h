#pragma once
// Frame-sharing fixtures: a private runtime directory, resource counts, raw protocol sockets.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "common/Eventually.h"
#include "sharing/FrameSharing.h"
#include "sharing/client/Protocol.h"

namespace cliploop::testing {

// A fresh 0700 XDG_RUNTIME_DIR, and a context with one texture as start-up makes.
class SharingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/cliploop-sharing-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        runtimeDir_ = pattern;
        setenv("XDG_RUNTIME_DIR", pattern, 1);
        auto format =
            PixelFormat::create({gl::kPixelFormatDoubleBuffer, gl::kPixelFormatColorSize, 32, 0});
        context_ = format ? GraphicsContext::create(*format) : nullptr;
        ASSERT_TRUE(context_);
        texture_ = context_->genTexture();
    }
    void TearDown() override {
        server_.reset();
        std::filesystem::remove_all(runtimeDir_);
    }
    std::shared_ptr<Surface> bind(std::shared_ptr<Surface> surface) {
        context_->bindTexture(gl::kTextureRectangle, texture_);
        EXPECT_EQ(context_->texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, surface->width(),
                                              surface->height(), gl::kBGRA, gl::kUnsignedInt8888Rev,
                                              surface, 0),
                  0);
        return surface;
    }
    std::shared_ptr<Surface> bindNewSurface(int width, int height, uint8_t fill) {
        auto surface = Surface::create(width, height);
        std::memset(surface->data(), fill, surface->byteSize());
        return bind(std::move(surface));
    }
    void publish(double width, double height) {
        server_->publishFrameTexture(texture_, gl::kTextureRectangle, {0, 0, width, height},
                                     {width, height}, true);
    }

    std::string runtimeDir_;
    std::shared_ptr<GraphicsContext> context_;
    uint32_t texture_ = 0;
    std::shared_ptr<FrameServer> server_;
};

inline int openDescriptorCount() {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<int>(std::distance(begin(fds), end(fds))) - 1;  // less the iterator's own
}
inline int mappedSurfaceCount() {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);)
        count += line.find("memfd:cliploop-surface") != std::string::npos;
    return count;
}
// A raw connection to a server's socket; -1 if refused.
inline int connectRaw(const std::string& socketPath) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}
// Sends one message, with `passFd` attached when it is not negative.
inline ssize_t sendMessage(int fd, const void* data, size_t size, int passFd = -1) {
    iovec iov{const_cast<void*>(data), size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (passFd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_len = CMSG_LEN(sizeof(int));
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        std::memcpy(CMSG_DATA(c), &passFd, sizeof passFd);
    }
    return sendmsg(fd, &msg, MSG_NOSIGNAL);
}
// One message within 10 s: its size, 0 at the end, -1 on error, -2 on timeout (fd to `passed`).
template <class Message>
ssize_t receiveMessage(int fd, Message* message, int* passed = nullptr) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return -2;
    alignas(8) char buffer[protocol::kMaxMessageBytes];
    iovec iov{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    int received = -1;
    if (cmsghdr* c = CMSG_FIRSTHDR(&msg); c && c->cmsg_type == SCM_RIGHTS)
        std::memcpy(&received, CMSG_DATA(c), sizeof received);
    if (passed)
        *passed = received;
    else if (received >= 0)
        close(received);
    std::memcpy(message, buffer, std::min(sizeof *message, size_t(std::max<ssize_t>(got, 0))));
    return got;
}
// Reads and answers the server's greeting; false when it is not the protocol's.
inline bool greet(int fd) {
    protocol::ServerHello hello;
    protocol::ClientHello reply;
    return receiveMessage(fd, &hello) == sizeof hello && hello.magic == protocol::kMagic &&
           hello.type == static_cast<uint32_t>(protocol::MessageType::ServerHello) &&
           hello.version == protocol::kVersion &&
           sendMessage(fd, &reply, sizeof reply) == sizeof reply;
}
// Reads until the peer ends the connection; false if it does not within 10 s.
inline bool readsUntilEnd(int fd) {
    for (char ignored[protocol::kMaxMessageBytes];;)
        if (const ssize_t got = receiveMessage(fd, &ignored); got <= 0) return got != -2;
}
// Runs `body` in a forked child that exits with its result; returns its pid.
inline pid_t forkChild(const std::function<int()>& body) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}
// The child's exit status, or 128 + its signal.
inline int waitChild(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace cliploop::testing
