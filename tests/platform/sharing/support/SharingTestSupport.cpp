#include "SharingTestSupport.h"

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "sharing/client/Protocol.h"

namespace cliploop::testing {

void SharingTest::SetUp() {
    if (const char* old = getenv("XDG_RUNTIME_DIR")) {
        hadRuntimeDir_ = true;
        savedRuntimeDir_ = old;
    }
    char pattern[] = "/tmp/cliploop-sharing-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    runtimeDir_ = pattern;
    setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
}

void SharingTest::TearDown() {
    server_.reset();
    context_.reset();
    if (hadRuntimeDir_) {
        setenv("XDG_RUNTIME_DIR", savedRuntimeDir_.c_str(), 1);
    } else {
        unsetenv("XDG_RUNTIME_DIR");
    }
    std::error_code ignored;
    std::filesystem::remove_all(runtimeDir_, ignored);
}

void SharingTest::makeContextAndTexture() {
    auto format =
        PixelFormat::create({gl::kPixelFormatDoubleBuffer, gl::kPixelFormatColorSize, 32, 0});
    ASSERT_TRUE(format);
    context_ = GraphicsContext::create(*format);
    ASSERT_TRUE(context_);
    context_->makeCurrentContext();
    texture_ = context_->genTexture();
    ASSERT_NE(texture_, 0u);
}

std::shared_ptr<Surface> SharingTest::bind(std::shared_ptr<Surface> surface) {
    context_->bindTexture(gl::kTextureRectangle, texture_);
    EXPECT_EQ(context_->texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, surface->width(),
                                          surface->height(), gl::kBGRA, gl::kUnsignedInt8888Rev,
                                          surface, 0),
              0);
    return surface;
}

std::shared_ptr<Surface> SharingTest::bindNewSurface(int width, int height, uint8_t fill) {
    auto surface = Surface::create(width, height);
    std::memset(surface->data(), fill, surface->byteSize());
    return bind(std::move(surface));
}

void SharingTest::publish(double width, double height, bool flipped) {
    server_->publishFrameTexture(texture_, gl::kTextureRectangle, {0, 0, width, height},
                                 {width, height}, flipped);
}

void SharingTest::publishAndDeliver(double width, double height) {
    publish(width, height);
    const uint64_t frame = server_->frameCount();
    EXPECT_TRUE(eventually([&] { return server_->deliveredFrameNumber() >= frame; }));
}

int openDescriptorCount() {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<int>(std::distance(begin(fds), end(fds))) - 1;  // less the iterator's own
}

int mappedSurfaceCount() {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);) {
        count += line.find("memfd:cliploop-surface") != std::string::npos;
    }
    return count;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int connectRaw(const std::string& socketPath) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool greet(int fd) {
    pollfd p{fd, POLLIN, 0};
    protocol::ServerHello hello;
    if (poll(&p, 1, 10000) != 1 || recv(fd, &hello, sizeof hello, 0) != sizeof hello ||
        hello.magic != protocol::kMagic) {
        return false;
    }
    protocol::ClientHello reply;
    return sendMessage(fd, &reply, sizeof reply) == sizeof reply;
}

ssize_t sendMessage(int fd, const void* data, size_t size, int passFd) {
    iovec iov{const_cast<void*>(data), size};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (passFd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &passFd, sizeof passFd);
    }
    return sendmsg(fd, &msg, MSG_NOSIGNAL);
}

bool readsUntilEnd(int fd) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return false;
        char buffer[protocol::kMaxMessageBytes];
        iovec iov{buffer, sizeof buffer};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
        if (got <= 0) return true;
        if (cmsghdr* c = CMSG_FIRSTHDR(&msg); c && c->cmsg_type == SCM_RIGHTS) {
            int received;
            std::memcpy(&received, CMSG_DATA(c), sizeof received);
            close(received);
        }
    }
}

pid_t forkChild(const std::function<int()>& body) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

int waitChild(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

}  // namespace cliploop::testing
