#pragma once
// Fixtures for the frame-sharing tests: a private runtime directory per test,
// resource counts, raw sockets, child processes, and waiting for another
// thread or process to catch up (polled, never timed).
#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "sharing/FrameSharing.h"

namespace cliploop::testing {

// Points XDG_RUNTIME_DIR at a fresh 0700 directory for the test's duration.
class SharingTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A context with one texture bound, as start-up makes them.
    void makeContextAndTexture();
    // Makes `surface` the texture's storage; returns it.
    std::shared_ptr<Surface> bind(std::shared_ptr<Surface> surface);
    // Binds a new surface of that size, filled with `fill`, to the texture.
    std::shared_ptr<Surface> bindNewSurface(int width, int height, uint8_t fill);
    void publish(double width, double height, bool flipped = true);
    // Publishes and waits until the server has sent (or skipped) the frame
    // for every client.
    void publishAndDeliver(double width, double height);

    std::string runtimeDir_;
    std::string savedRuntimeDir_;
    bool hadRuntimeDir_ = false;
    std::shared_ptr<GraphicsContext> context_;
    uint32_t texture_ = 0;
    std::shared_ptr<FrameServer> server_;
};

// Open descriptors and mapped surfaces of this process.
int openDescriptorCount();
int mappedSurfaceCount();

bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds deadline = std::chrono::seconds(10));

// A raw connection to a server's socket, speaking the protocol by hand.
int connectRaw(const std::string& socketPath);
// Reads the greeting and answers it; false when the server did not greet.
bool greet(int fd);
// Sends one message, with `passFd` attached when it is not negative.
ssize_t sendMessage(int fd, const void* data, size_t size, int passFd = -1);
// Reads (closing any descriptors received) until the peer ends the
// connection; false if it does not within a generous deadline.
bool readsUntilEnd(int fd);

// Runs `body` in a forked child that exits with its result; returns its pid.
pid_t forkChild(const std::function<int()>& body);
// Waits for the child and returns its exit status (or 128 + signal).
int waitChild(pid_t pid);

}  // namespace cliploop::testing
