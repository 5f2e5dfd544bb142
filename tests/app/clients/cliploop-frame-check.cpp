// A separate process that watches the frames of a frame server, for the
// end-to-end tests: one line per frame received,
//   frame NUMBER WIDTH HEIGHT TOP_B,G,R MIDDLE_B,G,R
// with the pixel at the middle of the picture's top eighth and at five
// eighths of its height. Ends after SECONDS, or at once when the server goes.
//
//   cliploop-frame-check NAME PID SECONDS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "cliploop/FrameClient.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: cliploop-frame-check NAME PID SECONDS\n");
        return 2;
    }
    const std::string name = argv[1];
    const pid_t pid = pid_t(std::atol(argv[2]));
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(long(std::atof(argv[3]) * 1000));

    std::unique_ptr<cliploop::FrameClient> client;
    std::string error;
    while (!client && std::chrono::steady_clock::now() < end) {
        client = cliploop::FrameClient::connect(name, pid, &error);
        if (!client) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!client) {
        std::fprintf(stderr, "cliploop-frame-check: no server: %s\n", error.c_str());
        return 1;
    }
    std::printf("connected\n");
    std::fflush(stdout);
    while (std::chrono::steady_clock::now() < end && !client->ended()) {
        std::optional<cliploop::Frame> frame = client->receiveFrame(std::chrono::milliseconds(50));
        if (!frame) continue;
        const int w = frame->width(), h = frame->height();
        const uint8_t* top = frame->row(h / 8) + 4 * (w / 2);
        const uint8_t* middle = frame->row(h * 5 / 8) + 4 * (w / 2);
        std::printf("frame %llu %d %d %d,%d,%d %d,%d,%d\n",
                    static_cast<unsigned long long>(frame->frameNumber()), w, h, top[0], top[1],
                    top[2], middle[0], middle[1], middle[2]);
        std::fflush(stdout);
    }
    return 0;
}
