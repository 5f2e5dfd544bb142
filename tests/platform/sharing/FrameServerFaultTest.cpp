// ctest-labels: concurrency
// A frame server facing clients that misbehave, vanish, or belong to someone
// else, and clients facing a server that dies.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "cliploop/FrameClient.h"
#include "sharing/client/Protocol.h"
#include "support/SharingTestSupport.h"

namespace cliploop {
namespace {

using namespace std::chrono_literals;
using testing::connectRaw;
using testing::eventually;
using testing::forkChild;
using testing::greet;
using testing::mappedSurfaceCount;
using testing::openDescriptorCount;
using testing::waitChild;

// Reads (and throws away, closing any descriptors) until the peer ends the
// connection; false if it does not within a generous deadline.
bool readsUntilEnd(int fd) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return false;
        char buffer[protocol::kMaxMessageBytes];
        iovec iov{buffer, sizeof buffer};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); got >= 0 && c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_type != SCM_RIGHTS) continue;
            for (size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i) {
                int received;
                std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                close(received);
            }
        }
        if (got <= 0) return true;
    }
}

class FrameServerFaultTest : public testing::SharingTest {
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
    ASSERT_TRUE(serverStillServes());

    // Publishing goes on at full speed; the good client keeps receiving.
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(eventually([&] {
            publish(64, 32);
            return good->receiveFrame(1ms).has_value();
        })) << "frame "
            << i;
    }
    // Neither the silent one nor the good one was dropped (the stalled one is
    // cut off once it has held its frames for seconds).
    EXPECT_GE(server_->clientCount(), 2u);
    close(silent);
    close(stalled);
}

TEST_F(FrameServerFaultTest, MalformedOrHostileMessagesDropOnlyTheirSender) {
    startServer();
    auto bystander = FrameClient::connect("Video");
    ASSERT_TRUE(bystander);
    ASSERT_TRUE(serverStillServes());
    ASSERT_TRUE(eventually([&] { return server_->clientCount() == 1; }));
    const int descriptorsBefore = openDescriptorCount();

    struct Case {
        const char* what;
        bool greetFirst;
        std::vector<unsigned char> bytes;
        bool passDescriptor = false;
    };
    auto bytesOf = [](const auto& message) {
        const auto* p = reinterpret_cast<const unsigned char*>(&message);
        return std::vector<unsigned char>(p, p + sizeof message);
    };
    protocol::ClientHello wrongMagic;
    wrongMagic.magic = 0x12345678;
    protocol::ClientHello wrongVersion;
    wrongVersion.version = 99;
    protocol::ReleaseMessage neverReceived;
    neverReceived.frameNumber = 123456;
    protocol::ReleaseMessage release;
    const auto releaseBytes = bytesOf(release);
    std::vector<unsigned char> unknownType = releaseBytes;
    unknownType[0] = 99;

    const std::vector<Case> cases = {
        {"garbage instead of a greeting", false, {'G', 'E', 'T', ' ', '/'}},
        {"a greeting with the wrong magic", false, bytesOf(wrongMagic)},
        {"a greeting of another version", false, bytesOf(wrongVersion)},
        {"a release before the greeting", false, releaseBytes},
        {"an oversized message", true, std::vector<unsigned char>(4096, 0x02)},
        {"a truncated release", true, {releaseBytes.begin(), releaseBytes.begin() + 9}},
        {"an empty message", true, {}},
        {"an unknown message type", true, unknownType},
        {"a second greeting", true, bytesOf(protocol::ClientHello{})},
        {"a release of a frame never received", true, bytesOf(neverReceived)},
        {"a descriptor passed to the server", true, releaseBytes, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int fd = connectRaw(socketPath_);
        ASSERT_GE(fd, 0);
        if (c.greetFirst) {
            ASSERT_TRUE(greet(fd));
        }
        iovec iov{const_cast<unsigned char*>(c.bytes.data()), c.bytes.size()};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        if (c.passDescriptor) {
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            cmsghdr* cm = CMSG_FIRSTHDR(&msg);
            cm->cmsg_level = SOL_SOCKET;
            cm->cmsg_type = SCM_RIGHTS;
            cm->cmsg_len = CMSG_LEN(sizeof(int));
            const int passed = surface_->fd();
            std::memcpy(CMSG_DATA(cm), &passed, sizeof passed);
        }
        ASSERT_EQ(sendmsg(fd, &msg, MSG_NOSIGNAL), static_cast<ssize_t>(c.bytes.size()));
        publish(64, 32);
        EXPECT_TRUE(readsUntilEnd(fd));
        close(fd);
    }
    EXPECT_TRUE(serverStillServes());
    EXPECT_TRUE(bystander->receiveFrame(10s));
    EXPECT_FALSE(bystander->ended());
    EXPECT_TRUE(eventually([&] { return server_->clientCount() == 1; }));
    EXPECT_TRUE(eventually([&] { return openDescriptorCount() == descriptorsBefore; }));
}

TEST_F(FrameServerFaultTest, ClientsClosingMidConversationLeaveNothingBehind) {
    startServer();
    ASSERT_TRUE(serverStillServes());
    ASSERT_TRUE(eventually([&] { return server_->clientCount() == 0; }));
    const int descriptorsBefore = openDescriptorCount();
    const int mappedBefore = mappedSurfaceCount();
    for (int i = 0; i < 20; ++i) {
        const int fd = connectRaw(socketPath_);
        ASSERT_GE(fd, 0);
        if (i % 4 >= 1) {
            ASSERT_TRUE(greet(fd));
        }
        // Frames (and a surface's descriptor) left unread in the socket.
        if (i % 4 >= 2) publish(64, 32);
        if (i % 4 == 3) {
            const char half[6] = {5, 0, 0, 0, 1, 0};
            send(fd, half, sizeof half, MSG_NOSIGNAL);
        }
        close(fd);
    }
    EXPECT_TRUE(serverStillServes());
    EXPECT_TRUE(eventually([&] {
        publish(64, 32);
        return server_->clientCount() == 0 && openDescriptorCount() == descriptorsBefore;
    }));
    EXPECT_EQ(mappedSurfaceCount(), mappedBefore);
}

TEST_F(FrameServerFaultTest, AClientOfAnotherUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
    startServer();
    const uid_t nobody = 65534;
    auto asNobody = [&](const std::function<int()>& body) {
        return waitChild(forkChild([&] {
            if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) return 2;
            return body();
        }));
    };
    // The directory keeps it from even reaching the socket...
    EXPECT_EQ(asNobody([&] {
                  const int fd = connectRaw(socketPath_);
                  return fd < 0 && errno == EACCES ? 0 : 1;
              }),
              0);
    // ...and when the directory is opened up, the server checks who is calling.
    ASSERT_EQ(chmod(runtimeDir_.c_str(), 0711), 0);
    ASSERT_EQ(chmod((runtimeDir_ + "/cliploop").c_str(), 0711), 0);
    ASSERT_EQ(chmod(socketPath_.c_str(), 0777), 0);
    EXPECT_EQ(asNobody([&] {
                  const int fd = connectRaw(socketPath_);
                  if (fd < 0) return 3;
                  protocol::ServerHello hello;
                  pollfd p{fd, POLLIN, 0};
                  if (poll(&p, 1, 10000) != 1) return 4;
                  return recv(fd, &hello, sizeof hello, 0) == 0 ? 0 : 1;  // closed, no greeting
              }),
              0);
    ASSERT_EQ(chmod(runtimeDir_.c_str(), 0700), 0);
    EXPECT_TRUE(serverStillServes());
}

TEST_F(FrameServerFaultTest, AHundredClientsComingAndGoingWhileFramesFlow) {
    startServer();
    ASSERT_TRUE(serverStillServes());
    ASSERT_TRUE(eventually([&] { return server_->clientCount() == 0; }));
    const int descriptorsBefore = openDescriptorCount();
    const int mappedBefore = mappedSurfaceCount();
    std::atomic<bool> stop{false};
    std::thread publisher([&] {
        SurfacePool pool(6);
        for (int i = 0; !stop.load(); ++i) {
            if (i % 3 == 0) {
                if (auto s = pool.acquire(64, 32)) {
                    std::memset(s->data(), 0x5a, s->byteSize());
                    context_->bindTexture(gl::kTextureRectangle, texture_);
                    context_->texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, 64, 32, gl::kBGRA,
                                                gl::kUnsignedInt8888Rev, s, 0);
                }
            }
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
            EXPECT_EQ(frame->row(31)[0], 0x5a);
            ++framesSeen;
        } else {
            const int fd = connectRaw(socketPath_);
            ASSERT_GE(fd, 0);
            if (i % 4 == 0) greet(fd);
            close(fd);
        }
    }
    stop = true;
    publisher.join();
    EXPECT_EQ(framesSeen, 50);
    // The texture gives up the last pool surface.
    context_->bindTexture(gl::kTextureRectangle, texture_);
    context_->texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, 64, 32, gl::kBGRA,
                                gl::kUnsignedInt8888Rev, surface_, 0);
    EXPECT_TRUE(eventually(
        [&] { return server_->clientCount() == 0 && openDescriptorCount() == descriptorsBefore; }));
    EXPECT_EQ(mappedSurfaceCount(), mappedBefore);
}

TEST_F(FrameServerFaultTest, AClientKilledWhileHoldingFramesGivesItsSurfacesBack) {
    startServer();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = forkChild([&] {
        close(ready[0]);
        auto client = FrameClient::connect("Video");
        if (!client) return 1;
        std::vector<Frame> held;
        while (held.size() < 3) {
            if (auto frame = client->receiveFrame(10s)) held.push_back(std::move(*frame));
            if (client->ended()) return 2;
        }
        if (write(ready[1], "!", 1) != 1) return 3;
        pause();
        return 0;
    });
    close(ready[1]);
    std::atomic<bool> childReady{false};
    std::thread waiter([&] {
        char c;
        childReady = read(ready[0], &c, 1) == 1;
    });
    ASSERT_TRUE(eventually([&] {
        publish(64, 32);
        return childReady.load();
    }));
    waiter.join();
    close(ready[0]);

    // The texture moves on; the frames the child holds keep the old surface.
    const std::weak_ptr<Surface> held = surface_;
    surface_ = bindNewSurface(64, 32, 0x5a);
    EXPECT_GT(held.use_count(), 0);

    kill(child, SIGKILL);
    EXPECT_EQ(waitChild(child), 128 + SIGKILL);
    EXPECT_TRUE(eventually([&] { return held.expired() && server_->clientCount() == 0; }));
    EXPECT_TRUE(serverStillServes());
}

TEST_F(FrameServerFaultTest, WhenTheServerProcessDiesClientsSeeTheEndOfTheStream) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t serverProcess = forkChild([&] {
        close(ready[0]);
        startServer();
        if (write(ready[1], "!", 1) != 1) return 1;
        for (;;) {
            publish(64, 32);
            usleep(2000);
        }
    });
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);

    const int descriptorsBefore = openDescriptorCount();
    const int mappedBefore = mappedSurfaceCount();
    auto client = FrameClient::connect("Video");
    ASSERT_TRUE(client);
    std::optional<Frame> kept;
    ASSERT_TRUE(eventually([&] { return (kept = client->receiveFrame(10ms)).has_value(); }));

    kill(serverProcess, SIGKILL);
    EXPECT_EQ(waitChild(serverProcess), 128 + SIGKILL);
    EXPECT_TRUE(eventually([&] {
        client->receiveFrame(10ms);
        return client->ended();
    }));
    EXPECT_FALSE(client->receiveFrame(0ms));
    EXPECT_EQ(kept->row(31)[63 * 4], 0x5a);  // what it holds stays readable
    kept->release();

    EXPECT_TRUE(listFrameServers().empty());  // its entry was stale
    kept.reset();
    client.reset();
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
    EXPECT_EQ(mappedSurfaceCount(), mappedBefore);
}

}  // namespace
}  // namespace cliploop
