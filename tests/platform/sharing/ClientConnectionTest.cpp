// The greeting and hold limits that send, skip or cut off a client, on a clock the test sets.
#include "sharing/ClientConnection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace cliploop {
namespace {

using namespace protocol;
using Result = ClientConnection::SendResult;

constexpr double kJustOver = 0.001;

TEST(ClientConnection, FramesAreSentSkippedOrCutOffByTheGreetingAndHoldLimits) {
    struct Case {
        const char* what;
        bool greets;
        std::vector<double> sentAt;  // frames the client holds, sent at these times
        size_t released;             // how many of the oldest it has let go of
        double now;
        Result expected;
    };
    const double timeout = kHoldTimeoutSeconds, limit = kHoldLimitSeconds;
    const Case cases[] = {
        {"not greeted at the limit", false, {}, 0, kGreetingLimitSeconds, Result::Skipped},
        {"silent past the limit", false, {}, 0, kGreetingLimitSeconds + kJustOver, Result::Drop},
        {"holding one briefly", true, {10}, 0, 10 + timeout, Result::Sent},
        {"holding one at the limit", true, {10}, 0, 10 + limit, Result::Skipped},
        {"holding one past the limit", true, {10}, 0, 10 + limit + kJustOver, Result::Drop},
        {"the oldest counts", true, {10, 10.5}, 0, 10 + timeout + kJustOver, Result::Skipped},
        {"the oldest let go of", true, {10, 10.5}, 1, 10.5 + timeout, Result::Sent},
        {"all let go of", true, {10, 11}, 2, 1000, Result::Sent},
        {"holding the most", true, {10, 10, 10, 10}, 0, 10, Result::Skipped},
        {"one fewer than the most", true, {10, 10, 10, 10}, 1, 10, Result::Sent},
    };
    static_assert(kMaxHeldFrames == 4, "the table's fullest client holds four");
    const auto surface = Surface::create(16, 16);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        ClientConnection connection(ends[0], 0.0);
        const int client = ends[1];  // the connection owns the other end
        if (c.greets) {
            const ClientHello hello;
            ASSERT_EQ(send(client, &hello, sizeof hello, 0), static_cast<ssize_t>(sizeof hello));
            ASSERT_EQ(connection.readMessages(), ClientConnection::Outcome::Keep);
        }
        FrameMessage frame;
        for (const double at : c.sentAt) {
            ++frame.frameNumber;
            ASSERT_EQ(connection.sendFrame(frame, surface, at), Result::Sent);
        }
        for (uint64_t number = 1; number <= c.released; ++number) {
            ReleaseMessage release;
            release.frameNumber = number;
            ASSERT_EQ(send(client, &release, sizeof release, 0),
                      static_cast<ssize_t>(sizeof release));
        }
        ASSERT_EQ(connection.readMessages(), ClientConnection::Outcome::Keep);
        ++frame.frameNumber;
        EXPECT_EQ(connection.sendFrame(frame, surface, c.now), c.expected);
        close(client);
    }
}

}  // namespace
}  // namespace cliploop
