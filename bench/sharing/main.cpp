// The frame server's costs: what a publication costs the publishing thread
// for 1080p and 4K frames with 0, 1 and 4 clients (no pixel is copied, so 4K
// must cost about what 1080p does), the latency from publication to a client
// having the frame mapped at 62.5 frames a second, and for reference what one
// copy of a 4K frame would cost.
//
// Clients run in processes of their own, as other applications would.
// SHARING_BENCH_SECONDS shortens the latency run (default 30).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "../common/Measure.h"
#include "cliploop/FrameClient.h"
#include "foundation/HostClock.h"
#include "sharing/FrameSharing.h"

namespace {

using namespace cliploop;
using namespace cliploop::bench;
using Clock = std::chrono::steady_clock;

void report(const char* figure, double value) {
    std::printf("BENCH sharing.%s %.3f\n", figure, value);
}

// A client process: receives every frame it can, releases it at once, and
// when the server goes away writes its latencies (microseconds) to `out`.
[[noreturn]] void runClient(const std::string& serverName, int out) {
    std::unique_ptr<FrameClient> client;
    for (int attempt = 0; attempt < 500 && !client; ++attempt) {
        client = FrameClient::connect(serverName);
        if (!client) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::vector<double> latencies;
    volatile uint8_t sink = 0;
    while (client && !client->ended()) {
        auto frame = client->receiveFrame(std::chrono::milliseconds(500));
        if (!frame) continue;
        sink = sink + frame->row(0)[0];  // the pixels are there to read
        latencies.push_back((hostTimeNow() - frame->hostTime()) * 1e6);
    }
    const size_t bytes = latencies.size() * sizeof(double);
    size_t written = 0;
    while (written < bytes) {
        const ssize_t n =
            write(out, reinterpret_cast<const char*>(latencies.data()) + written, bytes - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    _exit(0);
}

struct ClientProcesses {
    std::vector<pid_t> pids;
    std::vector<int> pipes;

    void start(const std::string& serverName, int count) {
        for (int i = 0; i < count; ++i) {
            int p[2];
            if (pipe(p) != 0) std::abort();
            std::fflush(nullptr);
            const pid_t pid = fork();
            if (pid == 0) {
                // Keep none of the server's descriptors: a copy of a client's
                // socket here would hide its end from it.
                dup2(p[1], 3);
                close_range(4, ~0u, 0);
                runClient(serverName, 3);
            }
            close(p[1]);
            pids.push_back(pid);
            pipes.push_back(p[0]);
        }
    }

    // Collects every client's latencies once the server has gone away.
    std::vector<double> finish() {
        std::vector<double> all;
        for (size_t i = 0; i < pids.size(); ++i) {
            std::vector<char> bytes;
            char buffer[65536];
            for (ssize_t n; (n = read(pipes[i], buffer, sizeof buffer)) > 0;) {
                bytes.insert(bytes.end(), buffer, buffer + n);
            }
            close(pipes[i]);
            waitpid(pids[i], nullptr, 0);
            const size_t count = bytes.size() / sizeof(double);
            const size_t first = all.size();
            all.resize(first + count);
            std::memcpy(all.data() + first, bytes.data(), count * sizeof(double));
        }
        pids.clear();
        pipes.clear();
        return all;
    }
};

// A publisher doing what the frame pump does on a tick with a new frame: bind
// the decoder's surface to the texture, then publish it.
struct Publisher {
    std::shared_ptr<GraphicsContext> context;
    uint32_t texture = 0;
    std::shared_ptr<FrameServer> server;
    SurfacePool pool1080{8}, pool4k{8};

    explicit Publisher(const std::string& name) {
        auto format =
            PixelFormat::create({gl::kPixelFormatDoubleBuffer, gl::kPixelFormatColorSize, 32, 0});
        context = GraphicsContext::create(*format);
        context->makeCurrentContext();
        texture = context->genTexture();
        server = FrameServer::create(name, context);
        if (!server) {
            std::fprintf(stderr, "bench-sharing: cannot start a frame server\n");
            std::exit(1);
        }
    }

    void waitForClients(size_t count) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (server->clientCount() < count && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    void bindNextFrame(int width, int height) {
        auto surface = (width > 1920 ? pool4k : pool1080).acquire(width, height);
        if (!surface) return;  // every surface held: the tick republishes
        context->bindTexture(gl::kTextureRectangle, texture);
        context->texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, width, height, gl::kBGRA,
                                   gl::kUnsignedInt8888Rev, surface, 0);
    }

    // The cost of the publication, in microseconds.
    double publish(int width, int height) {
        const double w = width, h = height;
        const auto start = Clock::now();
        server->publishFrameTexture(texture, gl::kTextureRectangle, {0, 0, w, h}, {w, h}, true);
        return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    }
};

struct PublishCosts {
    double us1080p, us4k;
};

// Median cost of one publication with `clients` clients. 1080p and 4K frames
// alternate, so that both see the same load from the rest of the machine.
PublishCosts publishCost(int clients) {
    const std::string name = "bench-publish-" + std::to_string(getpid());
    Publisher publisher(name);
    ClientProcesses processes;
    processes.start(name, clients);
    publisher.waitForClients(static_cast<size_t>(clients));
    std::vector<double> costs1080, costs4k;
    for (int i = 0; i < 1200; ++i) {
        const bool big = i % 2 != 0;
        const int width = big ? 3840 : 1920, height = big ? 2160 : 1080;
        publisher.bindNextFrame(width, height);
        const double cost = publisher.publish(width, height);
        if (i >= 200) (big ? costs4k : costs1080).push_back(cost);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    publisher.server.reset();
    processes.finish();
    return {percentile(costs1080, 0.5), percentile(costs4k, 0.5)};
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    char runtime[] = "/tmp/cliploop-bench-XXXXXX";
    if (!mkdtemp(runtime)) return 1;
    setenv("XDG_RUNTIME_DIR", runtime, 1);  // our servers stay out of the user's list

    PublishCosts costs[3];
    const int clientCounts[3] = {0, 1, 4};
    for (int i = 0; i < 3; ++i) costs[i] = publishCost(clientCounts[i]);
    report("publish_us_1080p_0clients", costs[0].us1080p);
    report("publish_us_1080p_1client", costs[1].us1080p);
    report("publish_us_1080p_4clients", costs[2].us1080p);
    report("publish_us_4k_0clients", costs[0].us4k);
    report("publish_us_4k_1client", costs[1].us4k);
    report("publish_us_4k_4clients", costs[2].us4k);
    report("publish_4k_over_1080p", costs[2].us4k / costs[2].us1080p);
    report("publish_us_4clients", std::max(costs[2].us1080p, costs[2].us4k));
    const double copy = memcpyMicroseconds(3840, 2160, 15);
    report("memcpy_4k_us", copy);
    report("publish_over_memcpy", costs[2].us4k / copy);

    // Latency: the frame pump's rate, 4 clients.
    double seconds = 30;
    if (const char* env = std::getenv("SHARING_BENCH_SECONDS"))
        seconds = std::max(1.0, std::atof(env));
    const std::string name = "bench-latency-" + std::to_string(getpid());
    Publisher publisher(name);
    ClientProcesses processes;
    processes.start(name, 4);
    publisher.waitForClients(4);
    const auto tick = std::chrono::microseconds(16000);
    auto next = Clock::now();
    const int ticks = static_cast<int>(seconds * 62.5);
    for (int i = 0; i < ticks; ++i) {
        next += tick;
        std::this_thread::sleep_until(next);
        if (i % 2 == 0) publisher.bindNextFrame(1920, 1080);  // a 30 fps clip on a 62.5 Hz pump
        publisher.publish(1920, 1080);
    }
    publisher.server.reset();
    const auto latencies = processes.finish();
    report("latency_p50_us", percentile(latencies, 0.5));
    report("latency_p99_us", percentile(latencies, 0.99));
    report("latency_frames_received_per_client", static_cast<double>(latencies.size()) / 4.0);
    rmdir((std::string(runtime) + "/cliploop").c_str());
    rmdir(runtime);
    return 0;
}
