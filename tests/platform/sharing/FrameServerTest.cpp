// ctest-labels: concurrency
// The frame server, its directory and its clients, misbehaving clients and an untrusted server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cliploop/FrameClient.h"
#include "common/Eventually.h"
#include "sharing/FrameSharing.h"
#include "sharing/client/Protocol.h"
#include "sharing/client/ServerDirectory.h"

namespace cliploop::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;

// A fresh 0700 XDG_RUNTIME_DIR, and a context with one texture as start-up makes.
class SharingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/cliploop-sharing-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        runtimeDir_ = pattern;
        setenv("XDG_RUNTIME_DIR", pattern, 1);
        context_ = GraphicsContext::create(
            *PixelFormat::create({gl::kPixelFormatDoubleBuffer, gl::kPixelFormatColorSize, 32, 0}));
        texture_ = context_->genTexture();
    }
    void TearDown() override {
        server_.reset();
        fs::remove_all(runtimeDir_);
    }
    std::shared_ptr<Surface> bind(std::shared_ptr<Surface> s) {  // a failure shows in the pixels
        context_->bindTexture(gl::kTextureRectangle, texture_);
        context_->texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, s->width(), s->height(),
                                    gl::kBGRA, gl::kUnsignedInt8888Rev, s, 0);
        return s;
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

// Descriptors open and surfaces mapped in this process: what a leak would leave.
std::pair<int, int> leftovers() {
    const int fds = std::distance(fs::directory_iterator("/proc/self/fd"), {}) - 1;  // less its own
    std::ifstream maps("/proc/self/maps");
    int mapped = 0;
    for (std::string line; std::getline(maps, line);)
        mapped += line.find("memfd:cliploop-surface") != std::string::npos;
    return {fds, mapped};
}
// A raw connection to a server's socket; -1 if refused.
int connectRaw(const std::string& socketPath) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}
// One message, with `passFd` attached when it is not negative.
ssize_t sendMessage(int fd, const void* data, size_t size, int passFd = -1) {
    iovec iov{const_cast<void*>(data), size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov, msg.msg_iovlen = 1;
    if (passFd >= 0) {
        msg.msg_control = control, msg.msg_controllen = sizeof control;
        *CMSG_FIRSTHDR(&msg) = {CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
        std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&msg)), &passFd, sizeof passFd);
    }
    return sendmsg(fd, &msg, MSG_NOSIGNAL);
}
// One message within 10 s: its size, 0 at the end, -1 on error, -2 on timeout (fd to `passed`).
template <class Message>
ssize_t receiveMessage(int fd, Message* message, int* passed = nullptr) {
    if (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 10000) != 1) return -2;
    alignas(8) char buffer[protocol::kMaxMessageBytes];
    iovec iov{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov, msg.msg_iovlen = 1;
    msg.msg_control = control, msg.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    int received = -1;
    if (cmsghdr* c = CMSG_FIRSTHDR(&msg); c && c->cmsg_type == SCM_RIGHTS)
        std::memcpy(&received, CMSG_DATA(c), sizeof received);
    if (!passed && received >= 0) close(received);
    if (passed) *passed = received;
    std::memcpy(message, buffer, std::min(sizeof *message, size_t(std::max<ssize_t>(got, 0))));
    return got;
}
// Reads and answers the server's greeting; false when it is not the protocol's.
bool greet(int fd) {
    protocol::ServerHello hello;
    protocol::ClientHello reply;
    return receiveMessage(fd, &hello) == sizeof hello && hello.magic == protocol::kMagic &&
           hello.type == static_cast<uint32_t>(protocol::MessageType::ServerHello) &&
           hello.version == protocol::kVersion &&
           sendMessage(fd, &reply, sizeof reply) == sizeof reply;
}
// Reads until the peer ends the connection; false if it does not within 10 s.
bool readsUntilEnd(int fd) {
    for (char ignored[protocol::kMaxMessageBytes];;)
        if (const ssize_t got = receiveMessage(fd, &ignored); got <= 0) return got != -2;
}

class FrameServerTest : public SharingTest {
  protected:
    void SetUp() override {
        SharingTest::SetUp();
        server_ = FrameServer::create("Video", context_);
        ASSERT_TRUE(server_);
        socketPath_ = listFrameServers().at(0).socketPath;
        ASSERT_TRUE(client_ = FrameClient::connect("Video"));
    }
    // Publishes until `client` has a frame of these publications; returns the newest.
    std::optional<Frame> receive(double width, double height, FrameClient* client = nullptr) {
        const uint64_t before = server_->frameCount();
        std::optional<Frame> frame;
        const bool got = eventually([&] {
            publish(width, height);
            frame = (client ? client : client_.get())->receiveFrame(5ms);
            return frame && frame->frameNumber() > before;
        });
        return got ? std::move(frame) : std::nullopt;
    }
    // True when a client that connects now gets frames of the bound picture.
    bool serverStillServes() {
        auto client = FrameClient::connect("Video");
        const auto frame = client ? receive(64, 32, client.get()) : std::nullopt;
        return frame && frame->row(0)[0] == 0x5a;
    }
    bool backTo(std::pair<int, int> before, size_t clients = 0) {
        return eventually(
            [&] { return server_->clientCount() == clients && leftovers() == before; });
    }

    std::unique_ptr<FrameClient> client_;
    std::string socketPath_;
};

TEST_F(FrameServerTest, ClientsSeeTheZeroPictureThenEachSurfaceUprightUncopiedReadOnlyOnceMapped) {
    auto frame = receive(512, 512);  // before any image
    ASSERT_TRUE(frame && frame->width() == 512 && frame->height() == 512);
    for (int y = 0; y < 512; ++y)
        ASSERT_EQ(std::count(frame->row(y), frame->row(y) + 2048, 0), 2048);
    auto surface = bindNewSurface(64, 48, 0);
    for (int y = 0; y < 48; ++y) std::memset(surface->data() + y * surface->bytesPerRow(), y, 256);
    frame = receive(64, 48);  // a size change is seen in the same publication, flipped upright
    ASSERT_TRUE(frame && frame->height() == 48 && frame->row(47)[0] == 47);
    const int zeros = open("/dev/zero", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(read(zeros, const_cast<uint8_t*>(frame->row(0)), 1), -1);  // read-only: EFAULT
    close(zeros);
    surface->data()[0] = 200;  // the client maps the server's memory: no copy
    EXPECT_EQ(frame->row(0)[0], 200);
    const int mappedBefore = leftovers().second;  // surfaces that are gone are unmapped
    for (int i = 0; i < 40; ++i) {
        bindNewSurface(16 + i, 16, static_cast<uint8_t>(i));
        frame = receive(16 + i, 16);
        ASSERT_TRUE(frame && frame->row(15)[0] == i);
    }
    EXPECT_LE(leftovers().second - mappedBefore, 8);  // the bound one and the few latest
}

TEST_F(FrameServerTest, TheGreetingComesFirstAndASurfaceGoesToAClientOnce) {
    bindNewSurface(64, 32, 9);
    const int raw = connectRaw(socketPath_);
    ASSERT_TRUE(greet(raw));
    int descriptors = 0;
    for (uint32_t i = 0; i < protocol::kMaxHeldFrames; ++i) {  // all held: none needs releasing
        pollfd p{raw, POLLIN, 0};
        ASSERT_TRUE(eventually([&] { return publish(64, 32), poll(&p, 1, 0) == 1; }));
        protocol::FrameMessage frame;
        int passed = -1;
        ASSERT_EQ(receiveMessage(raw, &frame, &passed), static_cast<ssize_t>(sizeof frame));
        descriptors += passed >= 0 && close(passed) == 0;
    }
    EXPECT_EQ(descriptors, 1);
    close(raw);
}

TEST_F(FrameServerTest, SilentConnectionsMakeWayForAReceiverButNeverPushOutAGreetedOne) {
    std::vector<int> silent;  // never answering the greeting; the last one taken by the server
    auto connectSilently = [&] {
        for (int i = 0; i < 256; ++i) silent.push_back(connectRaw(socketPath_));
        pollfd p{silent.back(), POLLIN, 0};
        return std::count(silent.begin(), silent.end(), -1) == 0 && poll(&p, 1, 10000) == 1;
    };
    ASSERT_TRUE(connectSilently());
    auto late = FrameClient::connect("Video");
    ASSERT_TRUE(late && receive(512, 512, late.get()));
    ASSERT_TRUE(connectSilently());
    EXPECT_TRUE(receive(512, 512, late.get()));
    EXPECT_TRUE(receive(512, 512));
    EXPECT_LE(server_->clientCount(), 64u);      // the places stay bounded
    EXPECT_TRUE(readsUntilEnd(silent.front()));  // greeted, then let go of
    for (const int fd : silent) close(fd);
}

TEST_F(FrameServerTest, StopWithdrawsTheServerEndsItsClientsAndIgnoresLaterFrames) {
    ASSERT_TRUE(receive(512, 512));
    std::thread other([&] { server_->stop(); });
    server_->stop();
    other.join();
    EXPECT_TRUE(fs::is_empty(runtimeDir_ + "/cliploop") && server_->clientCount() == 0);
    EXPECT_TRUE(eventually([&] { return !client_->receiveFrame(5ms) && client_->ended(); }));
    const uint64_t published = server_->frameCount();
    publish(512, 512);
    EXPECT_TRUE(server_->frameCount() == published && !FrameClient::connect("Video"));
    server_->stop();
}

template <class Message>
Bytes bytesOf(const Message& message) {
    const auto* p = reinterpret_cast<const unsigned char*>(&message);
    return Bytes(p, p + sizeof message);
}

TEST_F(FrameServerTest, MalformedOrHostileMessagesDropOnlyTheirSender) {
    const auto surface = bindNewSurface(64, 32, 0x5a);
    ASSERT_TRUE(serverStillServes() && client_->receiveFrame(10s));  // mapped before counting
    ASSERT_TRUE(eventually([&] { return server_->clientCount() == 1; }));
    const auto before = leftovers();
    const Bytes release = bytesOf(protocol::ReleaseMessage{});
    const struct {
        const char* what;
        bool greetFirst;
        Bytes bytes;
        bool passDescriptor = false;
    } cases[] = {
        {"garbage instead of a greeting", false, {'G', 'E', 'T', ' ', '/'}},
        {"a greeting of another version", false, bytesOf(protocol::ClientHello{.version = 99})},
        {"an oversized message", true, Bytes(4096, 0x02)},
        {"a truncated release", true, {release.begin(), release.begin() + 9}},
        {"an unknown message type", true, bytesOf(protocol::ReleaseMessage{.type = 99})},
        {"a release of a frame never received", true,
         bytesOf(protocol::ReleaseMessage{.frameNumber = 123456})},
        {"a descriptor passed to the server", true, release, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int fd = connectRaw(socketPath_);
        ASSERT_TRUE(fd >= 0 && (!c.greetFirst || greet(fd)));
        ASSERT_EQ(
            sendMessage(fd, c.bytes.data(), c.bytes.size(), c.passDescriptor ? surface->fd() : -1),
            static_cast<ssize_t>(c.bytes.size()));
        publish(64, 32);
        EXPECT_TRUE(readsUntilEnd(fd));
        close(fd);
    }
    EXPECT_TRUE(serverStillServes());
    EXPECT_TRUE(client_->receiveFrame(10s) && !client_->ended());
    EXPECT_TRUE(backTo(before, 1));
}

TEST_F(FrameServerTest, ClientsComingGoingStalledOrSilentCostOthersNothingWhileFramesFlow) {
    const auto surface = bindNewSurface(64, 32, 0x5a);
    client_.reset();
    ASSERT_TRUE(serverStillServes() && eventually([&] { return server_->clientCount() == 0; }));
    const auto before = leftovers();
    const int silent = connectRaw(socketPath_);  // never greets
    const int stalled = connectRaw(socketPath_);
    ASSERT_TRUE(greet(stalled));    // greets, then never reads again
    std::atomic<bool> stop{false};  // two publishers, one binding pool surfaces too
    const auto publisher = [&](bool binds) {
        SurfacePool pool(6);
        for (; !stop.load(); std::this_thread::sleep_for(1ms)) {
            if (auto s = binds ? pool.acquire(64, 32) : nullptr) {
                std::memset(s->data(), 0x5a, s->byteSize());
                bind(s);
            }
            publish(64, 32);
        }
    };
    std::thread binder(publisher, true), plain(publisher, false);
    int framesSeen = 0;
    for (int i = 0; i < 50; ++i) {
        close(connectRaw(socketPath_));               // gone before the greeting
        auto client = FrameClient::connect("Video");  // gone with frames unread
        auto frame = client ? client->receiveFrame(10s) : std::nullopt;
        framesSeen += frame && frame->row(31)[0] == 0x5a;
    }
    EXPECT_TRUE(readsUntilEnd(silent));  // silent while frames flow: its place given back
    stop = true;
    binder.join();
    plain.join();
    EXPECT_EQ(framesSeen, 50);
    close(silent);
    close(stalled);
    bind(surface);  // the texture gives up the last pool surface
    EXPECT_TRUE(backTo(before));
}

TEST_F(FrameServerTest, AClientEndsTheStreamOfAServerSendingASurfaceItCannotTrust) {
    const int unsealed = memfd_create("unsealed", MFD_CLOEXEC);
    ASSERT_EQ(ftruncate(unsealed, 16 * 8 * 4), 0);
    protocol::FrameMessage frame{
        .flags = protocol::kFrameCarriesSurface, .frameNumber = 1, .surfaceId = 7};
    frame.surfaceWidth = frame.regionWidth = frame.width = 16, frame.bytesPerRow = 64;
    frame.surfaceHeight = frame.regionHeight = frame.height = 8, frame.surfaceBytes = 512;
    const std::string path =
        directory::Registration::socketPathFor(*directory::userDirectory(true), "Fake", 1);
    const int listenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listenFd, 4), 0);
    auto registration = directory::Registration::announce(path, "Fake", "fake");
    const auto before = leftovers();
    std::thread server([&] {
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        protocol::ServerHello hello;  // then a surface whose size its sender could change
        sendMessage(fd, &hello, sizeof hello);
        if (receiveMessage(fd, &hello) > 0) sendMessage(fd, &frame, sizeof frame, unsealed);
        readsUntilEnd(fd);
        close(fd);
    });
    auto client = FrameClient::connect("Fake");
    for (int i = 0; client && i < 100 && !client->ended(); ++i) client->receiveFrame(100ms);
    EXPECT_TRUE(client && client->ended());
    client.reset();
    server.join();
    EXPECT_EQ(leftovers(), before);
    close(listenFd);
    close(unsealed);
}

using ServerDirectoryTest = SharingTest;

// The mode of a directory of ours; 0 for anything else.
mode_t modeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && st.st_uid == geteuid() ? st.st_mode : 0;
}

TEST_F(ServerDirectoryTest, ServersOfOneNameAreAllListedAndADeadOneIsNoticedAndRemoved) {
    fflush(nullptr);
    const pid_t other = fork();
    if (other == 0) {  // serves "Video" until killed
        bindNewSurface(64, 32, 0x5a);
        if (!(server_ = FrameServer::create("Video", context_))) _exit(1);
        for (;; usleep(2000)) publish(64, 32);
    }
    ASSERT_TRUE(eventually([] { return listFrameServers().size() == 1; }));
    server_ = FrameServer::create("Video", context_);
    auto second = FrameServer::create("Video", context_);
    ASSERT_TRUE(server_ && second && listFrameServers().size() == 3);
    EXPECT_EQ(std::ranges::count(listFrameServers(), getpid(), &FrameServerInfo::pid), 2);
    auto client = FrameClient::connect("Video", other);  // by name and process
    std::optional<Frame> kept;
    ASSERT_TRUE(client &&
                eventually([&] { return (kept = client->receiveFrame(10ms)) != std::nullopt; }));
    kill(other, SIGKILL);
    ASSERT_EQ(waitpid(other, nullptr, 0), other);
    EXPECT_TRUE(eventually([&] { return !client->receiveFrame(10ms) && client->ended(); }));
    EXPECT_EQ(kept->row(31)[63 * 4], 0x5a);  // what it holds stays readable
    // A socket whose server died before announcing itself goes too.
    std::ofstream(runtimeDir_ + "/cliploop/Video." + std::to_string(other) + ".9.sock");
    EXPECT_TRUE(listFrameServers().size() == 2 &&
                std::distance(fs::directory_iterator(runtimeDir_ + "/cliploop"), {}) == 4);
}

TEST_F(ServerDirectoryTest, AnUnsafeDirectoryIsTightenedRefusedOrReplacedByAPrivateOneInTmp) {
    const std::string dir = runtimeDir_ + "/cliploop";
    ASSERT_TRUE(mkdir(dir.c_str(), 0700) == 0 && chmod(dir.c_str(), 0777) == 0);
    ASSERT_EQ(directory::userDirectory(true), dir);
    EXPECT_EQ(modeOf(dir), S_IFDIR | 0700);
    // A symlink planted in its place is never followed.
    const std::string elsewhere = runtimeDir_ + "/elsewhere";
    ASSERT_TRUE(rmdir(dir.c_str()) == 0 && mkdir(elsewhere.c_str(), 0700) == 0 &&
                symlink(elsewhere.c_str(), dir.c_str()) == 0);
    EXPECT_FALSE(directory::userDirectory(true) || FrameServer::create("Video", context_));
    // A runtime directory that is not private, missing or relative is not used.
    const std::string fallback = "/tmp/cliploop-" + std::to_string(geteuid());
    ASSERT_EQ(chmod(runtimeDir_.c_str(), 0755), 0);
    for (const char* runtime : {runtimeDir_.c_str(), "", "relative/path"}) {
        runtime[0] ? setenv("XDG_RUNTIME_DIR", runtime, 1) : unsetenv("XDG_RUNTIME_DIR");
        EXPECT_EQ(directory::userDirectory(true), fallback) << runtime;
    }
    EXPECT_EQ(modeOf(fallback), S_IFDIR | 0700);
}

}  // namespace
}  // namespace cliploop::testing
