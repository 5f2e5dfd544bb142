// ctest-labels: concurrency
// Clients that misbehave, vanish or belong to someone else; a server that breaks the protocol.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>

#include "cliploop/FrameClient.h"
#include "sharing/client/ServerDirectory.h"
#include "support/SharingTestSupport.h"

namespace cliploop::testing {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;

template <class Message>
Bytes bytesOf(const Message& message) {
    const auto* p = reinterpret_cast<const unsigned char*>(&message);
    return Bytes(p, p + sizeof message);
}

class FrameServerFaultTest : public SharingTest {
  protected:
    void SetUp() override {
        SharingTest::SetUp();
        surface_ = bindNewSurface(64, 32, 0x5a);
        server_ = FrameServer::create("Video", context_);
        ASSERT_TRUE(server_);
        socketPath_ = listFrameServers().at(0).socketPath;
    }
    // True when a well-behaved client still gets frames from the server.
    bool serverStillServes() {
        auto client = FrameClient::connect("Video");
        return client && eventually([&] {
                   publish(64, 32);
                   auto frame = client->receiveFrame(5ms);
                   return frame && frame->row(0)[0] == 0x5a;
               });
    }
    // All clients gone, and no descriptor or mapping left behind.
    bool backTo(int descriptors, int mapped, size_t clients = 0) {
        return eventually([&] {
            return server_->clientCount() == clients && openDescriptorCount() == descriptors &&
                   mappedSurfaceCount() == mapped;
        });
    }

    std::shared_ptr<Surface> surface_;
    std::string socketPath_;
};

TEST_F(FrameServerFaultTest, MalformedOrHostileMessagesDropOnlyTheirSender) {
    auto bystander = FrameClient::connect("Video");
    ASSERT_TRUE(serverStillServes() && bystander->receiveFrame(10s));  // mapped before counting
    ASSERT_TRUE(eventually([&] { return server_->clientCount() == 1; }));
    const int descriptorsBefore = openDescriptorCount(), mappedBefore = mappedSurfaceCount();
    protocol::ClientHello wrongVersion;
    wrongVersion.version = 99;
    protocol::ReleaseMessage neverReceived;
    neverReceived.frameNumber = 123456;
    const Bytes release = bytesOf(protocol::ReleaseMessage{});
    Bytes unknownType = release;
    unknownType[0] = 99;
    const struct {
        const char* what;
        bool greetFirst;
        Bytes bytes;
        bool passDescriptor = false;
    } cases[] = {
        {"garbage instead of a greeting", false, {'G', 'E', 'T', ' ', '/'}},
        {"a greeting of another version", false, bytesOf(wrongVersion)},
        {"an oversized message", true, Bytes(4096, 0x02)},
        {"a truncated release", true, {release.begin(), release.begin() + 9}},
        {"an unknown message type", true, unknownType},
        {"a release of a frame never received", true, bytesOf(neverReceived)},
        {"a descriptor passed to the server", true, release, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int fd = connectRaw(socketPath_);
        ASSERT_TRUE(fd >= 0 && (!c.greetFirst || greet(fd)));
        ASSERT_EQ(
            sendMessage(fd, c.bytes.data(), c.bytes.size(), c.passDescriptor ? surface_->fd() : -1),
            static_cast<ssize_t>(c.bytes.size()));
        publish(64, 32);
        EXPECT_TRUE(readsUntilEnd(fd));
        close(fd);
    }
    EXPECT_TRUE(serverStillServes());
    EXPECT_TRUE(bystander->receiveFrame(10s) && !bystander->ended());
    EXPECT_TRUE(backTo(descriptorsBefore, mappedBefore, 1));
}

TEST_F(FrameServerFaultTest, AClientOfAnotherUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
    // The directory is private (see ServerDirectoryTest); opened up, the server checks the caller.
    using Modes = std::vector<std::pair<std::string, mode_t>>;
    for (const auto& [path, mode] :
         Modes{{runtimeDir_, 0711}, {runtimeDir_ + "/cliploop", 0711}, {socketPath_, 0777}})
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    EXPECT_EQ(waitChild(forkChild([&] {  // as user nobody: closed, no greeting
                  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                      return 2;
                  const int fd = connectRaw(socketPath_);
                  protocol::ServerHello hello;
                  return fd >= 0 && receiveMessage(fd, &hello) == 0 ? 0 : 1;
              })),
              0);
    ASSERT_EQ(chmod(runtimeDir_.c_str(), 0700), 0);
    EXPECT_TRUE(serverStillServes());
}

TEST_F(FrameServerFaultTest, ClientsComingGoingStalledOrSilentCostOthersNothingWhileFramesFlow) {
    ASSERT_TRUE(serverStillServes());
    ASSERT_TRUE(eventually([&] { return server_->clientCount() == 0; }));
    const int descriptorsBefore = openDescriptorCount(), mappedBefore = mappedSurfaceCount();
    const int silent = connectRaw(socketPath_);  // never greets
    const int stalled = connectRaw(socketPath_);
    ASSERT_TRUE(greet(stalled));  // greets, then never reads again
    // Two publishers, one binding pool surfaces too, while clients come and go.
    std::atomic<bool> stop{false};
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
    const char half[6] = {5, 0, 0, 0, 1, 0};
    for (int i = 0; i < 100; ++i) {
        if (i % 2 != 0) {
            auto client = FrameClient::connect("Video");
            auto frame = client ? client->receiveFrame(10s) : std::nullopt;
            framesSeen += frame && frame->row(31)[0] == 0x5a;
            continue;
        }
        // Raw ones leave before greeting, with frames unread, or halfway through a message.
        const int fd = connectRaw(socketPath_);
        if (i % 6 != 0) greet(fd);
        if (i % 6 == 4) sendMessage(fd, half, sizeof half);
        close(fd);
    }
    EXPECT_TRUE(readsUntilEnd(silent));  // still silent while frames flow: its place given back
    stop = true;
    binder.join();
    plain.join();
    EXPECT_EQ(framesSeen, 50);
    close(silent);
    close(stalled);
    bind(surface_);  // the texture gives up the last pool surface
    EXPECT_TRUE(backTo(descriptorsBefore, mappedBefore));
}

// A hand-made server "Fake" greets, then sends a frame that could crash or spy on its client.
TEST_F(FrameServerFaultTest, AClientEndsTheStreamOfAServerSendingFramesItCannotTrust) {
    auto surface = Surface::create(16, 8);
    const int unsealed = memfd_create("unsealed", MFD_CLOEXEC);  // its sender could shrink it
    ASSERT_EQ(ftruncate(unsealed, static_cast<off_t>(surface->byteSize())), 0);
    protocol::FrameMessage frame;
    frame.flags = protocol::kFrameFlipped | protocol::kFrameCarriesSurface;
    frame.frameNumber = 1;
    frame.surfaceId = surface->id();
    frame.regionWidth = frame.width = frame.surfaceWidth = surface->width();
    frame.regionHeight = frame.height = frame.surfaceHeight = surface->height();
    frame.bytesPerRow = surface->bytesPerRow();
    frame.surfaceBytes = surface->byteSize();
    auto outside = frame;
    outside.regionX = 10;
    const std::string path =
        directory::Registration::socketPathFor(*directory::userDirectory(true), "Fake", 1);
    const int listenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listenFd, 4), 0);
    auto registration = directory::Registration::announce(path, "Fake", "fake");
    const std::tuple<const char*, protocol::FrameMessage, int> cases[] = {
        {"a descriptor that can shrink", frame, unsealed},
        {"a region outside the surface", outside, surface->fd()}};
    for (const auto& [what, message, surfaceFd] : cases) {
        SCOPED_TRACE(what);
        const int descriptorsBefore = openDescriptorCount(), mappedBefore = mappedSurfaceCount();
        std::thread server([&] {
            const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            protocol::ServerHello hello;
            sendMessage(fd, &hello, sizeof hello);
            if (receiveMessage(fd, &hello) > 0)
                sendMessage(fd, &message, sizeof message, surfaceFd);
            readsUntilEnd(fd);
            close(fd);
        });
        auto client = FrameClient::connect("Fake");
        for (int i = 0; client && i < 100 && !client->ended(); ++i) client->receiveFrame(100ms);
        EXPECT_TRUE(client && client->ended());
        client.reset();
        server.join();
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
        EXPECT_EQ(mappedSurfaceCount(), mappedBefore);
    }
    registration.reset();
    close(listenFd);
    close(unsealed);
}

}  // namespace
}  // namespace cliploop::testing
