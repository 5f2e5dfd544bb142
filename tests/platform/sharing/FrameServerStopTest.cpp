// ctest-labels: concurrency
// A stopped server: gone from the directory at once while its object lives on, its clients told,
// later publications ignored; stopping again, from two threads at once, is harmless.
#include <gtest/gtest.h>

#include "cliploop/FrameClient.h"
#include "support/SharingTestSupport.h"

namespace cliploop::testing {
namespace {

class FrameServerStopTest : public SharingTest {};

TEST_F(FrameServerStopTest, StopWithdrawsTheServerEndsItsClientsAndIgnoresLaterFrames) {
    bindNewSurface(64, 32, 0x5a);
    server_ = FrameServer::create("Video", context_);
    ASSERT_TRUE(server_);
    std::string error;
    auto client = FrameClient::connect("Video", getpid(), &error);
    ASSERT_TRUE(client) << error;
    ASSERT_TRUE(eventually([&] {
        publish(64, 32);
        return client->receiveFrame(std::chrono::milliseconds(5)).has_value();
    }));

    std::thread other([&] { server_->stop(); });
    server_->stop();
    other.join();

    EXPECT_TRUE(listFrameServers().empty());
    EXPECT_TRUE(std::filesystem::is_empty(runtimeDir_ + "/cliploop"));
    EXPECT_EQ(server_->clientCount(), 0u);
    EXPECT_TRUE(eventually([&] {
        client->receiveFrame(std::chrono::milliseconds(5));
        return client->ended();
    }));
    const uint64_t published = server_->frameCount();
    publish(64, 32);
    EXPECT_EQ(server_->frameCount(), published);
    EXPECT_FALSE(FrameClient::connect("Video", getpid(), &error));
    server_->stop();
}

}  // namespace
}  // namespace cliploop::testing
