// ctest-labels: concurrency
// The client library facing a server that breaks the protocol: it must end
// the stream cleanly, map nothing it should not, and leak nothing.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <thread>

#include "cliploop/FrameClient.h"
#include "sharing/client/Protocol.h"
#include "sharing/client/ServerDirectory.h"
#include "support/SharingTestSupport.h"

namespace cliploop {
namespace {

using namespace std::chrono_literals;
using testing::mappedSurfaceCount;
using testing::openDescriptorCount;

// A hand-made server called "Fake" that greets with `hello` and then runs
// `script` on the accepted connection.
class FakeServer {
  public:
    FakeServer(protocol::ServerHello hello, std::function<void(int)> script) {
        const auto dir = directory::userDirectory(true);
        const std::string path = directory::Registration::socketPathFor(*dir, "Fake", 1);
        listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listenFd_, 4), 0);
        registration_ = directory::Registration::announce(path, "Fake", "fake");
        thread_ = std::thread([this, hello, script] {
            const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            send(fd, &hello, sizeof hello, MSG_NOSIGNAL);
            protocol::ClientHello reply;
            if (recv(fd, &reply, sizeof reply, 0) == sizeof reply) script(fd);
            char ignored[64];
            while (recv(fd, ignored, sizeof ignored, 0) > 0) {
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
    int listenFd_;
    std::unique_ptr<directory::Registration> registration_;
    std::thread thread_;
};

void sendFrame(int fd, const protocol::FrameMessage& frame, int surfaceFd) {
    iovec iov{const_cast<protocol::FrameMessage*>(&frame), sizeof frame};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (surfaceFd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &surfaceFd, sizeof surfaceFd);
    }
    sendmsg(fd, &msg, MSG_NOSIGNAL);
}

protocol::FrameMessage frameOn(const Surface& surface, uint64_t number, bool carries) {
    protocol::FrameMessage frame;
    frame.flags = protocol::kFrameFlipped | (carries ? protocol::kFrameCarriesSurface : 0u);
    frame.frameNumber = number;
    frame.surfaceId = surface.id();
    frame.surfaceWidth = surface.width();
    frame.surfaceHeight = surface.height();
    frame.bytesPerRow = surface.bytesPerRow();
    frame.surfaceBytes = surface.byteSize();
    frame.regionWidth = frame.width = surface.width();
    frame.regionHeight = frame.height = surface.height();
    return frame;
}

class FrameClientTest : public testing::SharingTest {};

TEST_F(FrameClientTest, RefusesWhatIsNotAFrameServerOfItsVersion) {
    protocol::ServerHello wrongMagic;
    wrongMagic.magic = 0x1234;
    protocol::ServerHello newer;
    newer.version = protocol::kVersion + 1;
    for (const auto& [hello, expected] : {std::pair{wrongMagic, "not a frame server"},
                                          std::pair{newer, "version 2 is not supported"}}) {
        const int descriptorsBefore = openDescriptorCount();
        {
            FakeServer server(hello, [](int) {});
            std::string error;
            EXPECT_FALSE(FrameClient::connect("Fake", &error));
            EXPECT_NE(error.find(expected), std::string::npos) << error;
        }
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
    }
}

TEST_F(FrameClientTest, EndsTheStreamOnFramesItCannotTrust) {
    auto surface = Surface::create(16, 8);
    // A memfd that its sender could shrink under a reader's mapping.
    const int unsealed = memfd_create("unsealed", MFD_CLOEXEC);
    ASSERT_EQ(ftruncate(unsealed, static_cast<off_t>(surface->byteSize())), 0);

    struct Case {
        const char* what;
        std::function<void(int)> script;
    };
    const std::vector<Case> cases = {
        {"a surface announced without its descriptor",
         [&](int fd) { sendFrame(fd, frameOn(*surface, 1, true), -1); }},
        {"a frame on a surface never passed",
         [&](int fd) { sendFrame(fd, frameOn(*surface, 1, false), -1); }},
        {"a descriptor that can shrink",
         [&](int fd) { sendFrame(fd, frameOn(*surface, 1, true), unsealed); }},
        {"a region outside the surface",
         [&](int fd) {
             auto frame = frameOn(*surface, 1, true);
             frame.regionX = 10;
             sendFrame(fd, frame, surface->fd());
         }},
        {"a size larger than the descriptor",
         [&](int fd) {
             auto frame = frameOn(*surface, 1, true);
             frame.surfaceHeight = 800;
             frame.regionHeight = 800;
             frame.surfaceBytes = static_cast<uint64_t>(frame.bytesPerRow) * 800;
             sendFrame(fd, frame, surface->fd());
         }},
        {"more surfaces than a client maps at once",
         [&](int fd) {
             for (uint64_t n = 1; n <= protocol::kMaxSurfacesPerClient + 1; ++n) {
                 auto another = Surface::create(16, 8);
                 sendFrame(fd, frameOn(*another, n, true), another->fd());
             }
         }},
        {"frame numbers going back",
         [&](int fd) {
             sendFrame(fd, frameOn(*surface, 5, true), surface->fd());
             sendFrame(fd, frameOn(*surface, 4, false), -1);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int descriptorsBefore = openDescriptorCount();
        const int mappedBefore = mappedSurfaceCount();
        {
            FakeServer server(protocol::ServerHello{}, c.script);
            auto client = FrameClient::connect("Fake");
            ASSERT_TRUE(client);
            for (int i = 0; i < 100 && !client->ended(); ++i) client->receiveFrame(100ms);
            EXPECT_TRUE(client->ended());
        }
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
        EXPECT_EQ(mappedSurfaceCount(), mappedBefore);
    }
    close(unsealed);
}

}  // namespace
}  // namespace cliploop
