// ctest-labels: concurrency
// A frame server facing clients that misbehave, vanish, or belong to someone
// else, and clients facing a server that dies or breaks the protocol.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "cliploop/FrameClient.h"
#include "sharing/client/Protocol.h"
#include "sharing/client/ServerDirectory.h"
#include "support/SharingTestSupport.h"

namespace cliploop {
namespace {

using namespace std::chrono_literals;
using namespace testing;

class FrameServerFaultTest : public SharingTest {
  protected:
    void startServer() {
        makeContextAndTexture();
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

    // Waits until the server has no client and the counts are back.
    bool nothingLeftBehind(int descriptors, int mapped) {
        return eventually([&] {
            return server_->clientCount() == 0 && openDescriptorCount() == descriptors &&
                   mappedSurfaceCount() == mapped;
        });
    }

    std::shared_ptr<Surface> surface_;
    std::string socketPath_;
};

TEST_F(FrameServerFaultTest, ClientsThatNeverReadOrNeverGreetCostOthersNothing) {
    startServer();
    const int silent = connectRaw(socketPath_);  // never greets
    const int stalled = connectRaw(socketPath_);
    ASSERT_TRUE(greet(stalled));  // greets, then never reads again
    auto good = FrameClient::connect("Video");
    ASSERT_TRUE(good);
    ASSERT_TRUE(eventually([&] { return server_->clientCount() == 3; }));
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(eventually([&] {
            publish(64, 32);
            return good->receiveFrame(1ms).has_value();
        })) << "frame "
            << i;
    }
    EXPECT_GE(server_->clientCount(), 2u);  // the stalled one may be cut off, not the others
    close(silent);
    close(stalled);
}

TEST_F(FrameServerFaultTest, MalformedOrHostileMessagesDropOnlyTheirSender) {
    startServer();
    auto bystander = FrameClient::connect("Video");
    ASSERT_TRUE(serverStillServes());
    ASSERT_TRUE(eventually([&] { return server_->clientCount() == 1; }));
    const int descriptorsBefore = openDescriptorCount();

    using Bytes = std::vector<unsigned char>;
    auto bytesOf = [](const auto& message) {
        const auto* p = reinterpret_cast<const unsigned char*>(&message);
        return Bytes(p, p + sizeof message);
    };
    protocol::ClientHello wrongMagic, wrongVersion;
    wrongMagic.magic = 0x12345678;
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
        {"a greeting with the wrong magic", false, bytesOf(wrongMagic)},
        {"a greeting of another version", false, bytesOf(wrongVersion)},
        {"a release before the greeting", false, release},
        {"an oversized message", true, Bytes(4096, 0x02)},
        {"a truncated release", true, {release.begin(), release.begin() + 9}},
        {"an empty message", true, {}},
        {"an unknown message type", true, unknownType},
        {"a second greeting", true, bytesOf(protocol::ClientHello{})},
        {"a release of a frame never received", true, bytesOf(neverReceived)},
        {"a descriptor passed to the server", true, release, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int fd = connectRaw(socketPath_);
        ASSERT_GE(fd, 0);
        if (c.greetFirst) {
            ASSERT_TRUE(greet(fd));
        }
        ASSERT_EQ(
            sendMessage(fd, c.bytes.data(), c.bytes.size(), c.passDescriptor ? surface_->fd() : -1),
            static_cast<ssize_t>(c.bytes.size()));
        publish(64, 32);
        EXPECT_TRUE(readsUntilEnd(fd));
        close(fd);
    }
    EXPECT_TRUE(serverStillServes());
    EXPECT_TRUE(bystander->receiveFrame(10s));
    EXPECT_FALSE(bystander->ended());
    EXPECT_TRUE(eventually(
        [&] { return server_->clientCount() == 1 && openDescriptorCount() == descriptorsBefore; }));
}

TEST_F(FrameServerFaultTest, AClientOfAnotherUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
    startServer();
    auto asNobody = [&](const std::function<int()>& body) {
        return waitChild(forkChild([&] {
            const uid_t nobody = 65534;
            if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) return 2;
            return body();
        }));
    };
    // The directory keeps it from even reaching the socket...
    EXPECT_EQ(asNobody([&] { return connectRaw(socketPath_) < 0 && errno == EACCES ? 0 : 1; }), 0);
    // ...and with the directory opened up, the server checks who is calling.
    ASSERT_EQ(chmod(runtimeDir_.c_str(), 0711), 0);
    ASSERT_EQ(chmod((runtimeDir_ + "/cliploop").c_str(), 0711), 0);
    ASSERT_EQ(chmod(socketPath_.c_str(), 0777), 0);
    EXPECT_EQ(asNobody([&] {
                  const int fd = connectRaw(socketPath_);
                  char hello[sizeof(protocol::ServerHello)];
                  pollfd p{fd, POLLIN, 0};
                  if (fd < 0 || poll(&p, 1, 10000) != 1) return 3;
                  return recv(fd, hello, sizeof hello, 0) == 0 ? 0 : 1;  // closed, no greeting
              }),
              0);
    ASSERT_EQ(chmod(runtimeDir_.c_str(), 0700), 0);
    EXPECT_TRUE(serverStillServes());
}

TEST_F(FrameServerFaultTest, AHundredClientsComingAndGoingMidConversationWhileFramesFlow) {
    startServer();
    ASSERT_TRUE(serverStillServes());
    ASSERT_TRUE(eventually([&] { return server_->clientCount() == 0; }));
    const int descriptorsBefore = openDescriptorCount();
    const int mappedBefore = mappedSurfaceCount();
    // Two publishers, one of them also binding new surfaces, while clients come and go.
    std::atomic<bool> stop{false};
    std::thread binder([&] {
        SurfacePool pool(6);
        while (!stop.load()) {
            if (auto s = pool.acquire(64, 32)) {
                std::memset(s->data(), 0x5a, s->byteSize());
                bind(s);
            }
            publish(64, 32);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread publisher([&] {
        while (!stop.load()) {
            publish(64, 32);
            std::this_thread::sleep_for(1ms);
        }
    });
    int framesSeen = 0;
    for (int i = 0; i < 100; ++i) {
        if (i % 2 != 0) {
            auto client = FrameClient::connect("Video");
            ASSERT_TRUE(client);
            auto frame = client->receiveFrame(10s);
            ASSERT_TRUE(frame) << i;
            framesSeen += frame->row(31)[0] == 0x5a;
            continue;
        }
        // Raw clients leave before, after or during the greeting, with
        // frames (and descriptors) unread, or halfway through a message.
        const int fd = connectRaw(socketPath_);
        ASSERT_GE(fd, 0);
        if (i % 6 != 0) greet(fd);
        if (i % 6 == 4) {
            const char half[6] = {5, 0, 0, 0, 1, 0};
            sendMessage(fd, half, sizeof half);
        }
        close(fd);
    }
    stop = true;
    binder.join();
    publisher.join();
    EXPECT_EQ(framesSeen, 50);
    bind(surface_);  // the texture gives up the last pool surface
    EXPECT_TRUE(nothingLeftBehind(descriptorsBefore, mappedBefore));
}

TEST_F(FrameServerFaultTest, AClientKilledWhileHoldingFramesGivesItsSurfacesBack) {
    startServer();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = forkChild([&] {
        auto client = FrameClient::connect("Video");
        std::vector<Frame> held;
        while (client && !client->ended() && held.size() < 3) {
            if (auto frame = client->receiveFrame(10s)) held.push_back(std::move(*frame));
        }
        if (held.size() < 3 || write(ready[1], "!", 1) != 1) return 1;
        pause();
        return 0;
    });
    close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    ASSERT_TRUE(eventually([&] {
        publish(64, 32);
        return poll(&p, 1, 0) == 1;
    }));
    close(ready[0]);
    // The texture moves on; the frames the child holds keep the old surface.
    const std::weak_ptr<Surface> held = surface_;
    surface_ = bindNewSurface(64, 32, 0x5a);
    EXPECT_FALSE(held.expired());

    kill(child, SIGKILL);
    EXPECT_EQ(waitChild(child), 128 + SIGKILL);
    EXPECT_TRUE(eventually([&] { return held.expired() && server_->clientCount() == 0; }));
    EXPECT_TRUE(serverStillServes());
}

TEST_F(FrameServerFaultTest, WhenTheServerProcessDiesClientsSeeTheEndOfTheStream) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t serverProcess = forkChild([&] {
        startServer();
        if (write(ready[1], "!", 1) != 1) return 1;
        for (;;) {
            publish(64, 32);
            usleep(2000);
        }
    });
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    close(ready[1]);

    const int descriptorsBefore = openDescriptorCount();
    const int mappedBefore = mappedSurfaceCount();
    auto client = FrameClient::connect("Video");
    ASSERT_TRUE(client);
    std::optional<Frame> kept;
    ASSERT_TRUE(eventually([&] { return (kept = client->receiveFrame(10ms)).has_value(); }));
    kill(serverProcess, SIGKILL);
    EXPECT_EQ(waitChild(serverProcess), 128 + SIGKILL);
    EXPECT_TRUE(eventually([&] { return !client->receiveFrame(10ms) && client->ended(); }));
    EXPECT_EQ(kept->row(31)[63 * 4], 0x5a);   // what it holds stays readable
    EXPECT_TRUE(listFrameServers().empty());  // its entry was stale
    kept.reset();
    client.reset();
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
    EXPECT_EQ(mappedSurfaceCount(), mappedBefore);
}

// A hand-made server called "Fake" that greets with `hello` and then runs
// `script` on the accepted connection.
class FakeServer {
  public:
    FakeServer(protocol::ServerHello hello, std::function<void(int)> script) {
        const std::string path =
            directory::Registration::socketPathFor(*directory::userDirectory(true), "Fake", 1);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listenFd_, 4), 0);
        registration_ = directory::Registration::announce(path, "Fake", "fake");
        thread_ = std::thread([this, hello, script] {
            const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            protocol::ClientHello reply;
            sendMessage(fd, &hello, sizeof hello);
            if (recv(fd, &reply, sizeof reply, 0) == sizeof reply) script(fd);
            while (recv(fd, &reply, sizeof reply, 0) > 0) {
            }
            close(fd);
        });
    }
    ~FakeServer() {
        thread_.join();
        registration_.reset();
        close(listenFd_);
    }

  private:
    int listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    std::unique_ptr<directory::Registration> registration_;
    std::thread thread_;
};

TEST_F(FrameServerFaultTest, AClientEndsTheStreamOnAServerItCannotTrust) {
    auto surface = Surface::create(16, 8);
    // A memfd that its sender could shrink under a reader's mapping.
    const int unsealed = memfd_create("unsealed", MFD_CLOEXEC);
    ASSERT_EQ(ftruncate(unsealed, static_cast<off_t>(surface->byteSize())), 0);
    auto frameOn = [](const Surface& s, uint64_t number, bool carries) {
        protocol::FrameMessage frame;
        frame.flags = protocol::kFrameFlipped | (carries ? protocol::kFrameCarriesSurface : 0u);
        frame.frameNumber = number;
        frame.surfaceId = s.id();
        frame.regionWidth = frame.width = frame.surfaceWidth = s.width();
        frame.regionHeight = frame.height = frame.surfaceHeight = s.height();
        frame.bytesPerRow = s.bytesPerRow();
        frame.surfaceBytes = s.byteSize();
        return frame;
    };
    auto sendFrame = [](int fd, const protocol::FrameMessage& frame, int surfaceFd) {
        sendMessage(fd, &frame, sizeof frame, surfaceFd);
    };
    protocol::ServerHello wrongMagic, newer;
    wrongMagic.magic = 0x1234;
    newer.version = protocol::kVersion + 1;
    auto tooLarge = frameOn(*surface, 1, true), outside = tooLarge;
    outside.regionX = 10;
    tooLarge.surfaceHeight = tooLarge.regionHeight = 800;
    tooLarge.surfaceBytes = static_cast<uint64_t>(tooLarge.bytesPerRow) * 800;
    const struct {
        const char* what;
        std::function<void(int)> script;
        protocol::ServerHello hello = {};
    } cases[] = {
        {"not a frame server", [](int) {}, wrongMagic},
        {"version 2 is not supported", [](int) {}, newer},
        {"a surface announced without its descriptor",
         [&](int fd) { sendFrame(fd, frameOn(*surface, 1, true), -1); }},
        {"a frame on a surface never passed",
         [&](int fd) { sendFrame(fd, frameOn(*surface, 1, false), -1); }},
        {"a descriptor that can shrink",
         [&](int fd) { sendFrame(fd, frameOn(*surface, 1, true), unsealed); }},
        {"a region outside the surface", [&](int fd) { sendFrame(fd, outside, surface->fd()); }},
        {"a size larger than the descriptor",
         [&](int fd) { sendFrame(fd, tooLarge, surface->fd()); }},
        {"more surfaces than a client maps at once",
         [&](int fd) {
             for (uint64_t n = 1; n <= protocol::kMaxSurfacesPerClient + 1; ++n) {
                 auto another = Surface::create(16, 8);
                 sendFrame(fd, frameOn(*another, n, true), another->fd());
             }
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int descriptorsBefore = openDescriptorCount();
        const int mappedBefore = mappedSurfaceCount();
        {
            FakeServer server(c.hello, c.script);
            std::string error;
            auto client = FrameClient::connect("Fake", &error);
            if (c.hello.magic != protocol::kMagic || c.hello.version != protocol::kVersion) {
                EXPECT_FALSE(client);  // refused at the greeting, with the reason
                EXPECT_NE(error.find(c.what), std::string::npos) << error;
            } else {
                ASSERT_TRUE(client) << error;
                for (int i = 0; i < 100 && !client->ended(); ++i) client->receiveFrame(100ms);
                EXPECT_TRUE(client->ended());
            }
        }
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
        EXPECT_EQ(mappedSurfaceCount(), mappedBefore);
    }
    close(unsealed);
}

}  // namespace
}  // namespace cliploop
