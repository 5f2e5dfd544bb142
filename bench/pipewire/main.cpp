// The PipeWire source's costs, against a private daemon this benchmark starts:
//
// - what a publication costs the tick at 1080p and 4K, for a new frame and for
//   the same frame published again (the copy itself runs on the publisher's
//   own thread), with a pipewiresrc consumer attached;
// - the latency from publication to the GStreamer sample (fakesink's report
//   of the buffer, whose offset is the publication's number), 1080p at 30
//   frames a second on a 62.5 Hz tick;
// - the CPU of `cliploop-play --publish` playing a 1080p30 clip with a
//   pipewiresrc consumer attached, with no consumer, and with no PipeWire at
//   all, the three alternated in one run.
//
// Where no daemon can start here, it says why and fails.
//
// PIPEWIRE_BENCH_SECONDS shortens the latency and CPU runs (default 20 and 8).
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "../common/Measure.h"
#include "foundation/HostClock.h"
#include "pipewire/support/PipeWireDaemon.h"
#include "pipewiresource/PipeWirePublisher.h"

namespace {

using namespace cliploop;
using namespace cliploop::testing;
using cliploop::bench::cpuSeconds;
using cliploop::bench::percentile;
using Clock = std::chrono::steady_clock;

void report(const char* figure, double value) {
    std::printf("BENCH pipewire.%s %.3f\n", figure, value);
    std::fflush(stdout);
}

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "bench-pipewire: %s\n", why.c_str());
    std::exit(1);
}

// A texture and surfaces to bind to it, as the frame pump's tick has them.
struct Frames {
    std::shared_ptr<GraphicsContext> context;
    uint32_t texture = 0;
    std::vector<std::shared_ptr<Surface>> surfaces;
    size_t next = 0;

    Frames(int width, int height) {
        auto format =
            PixelFormat::create({gl::kPixelFormatDoubleBuffer, gl::kPixelFormatColorSize, 32, 0});
        context = GraphicsContext::create(*format);
        context->makeCurrentContext();
        texture = context->genTexture();
        for (int i = 0; i < 4; ++i) {
            surfaces.push_back(Surface::create(width, height));
            std::memset(surfaces.back()->data(), 40 * i, surfaces.back()->byteSize());
        }
    }

    void bindNext(int width, int height) {
        context->bindTexture(gl::kTextureRectangle, texture);
        context->texImageSurface2D(gl::kTextureRectangle, gl::kRGBA, width, height, gl::kBGRA,
                                   gl::kUnsignedInt8888Rev, surfaces[next++ % surfaces.size()], 0);
    }
};

double publishMicroseconds(PipeWirePublisher& publisher, const Frames& frames, double width,
                           double height) {
    const auto start = Clock::now();
    publisher.publishFrameTexture(frames.texture, gl::kTextureRectangle, {0, 0, width, height},
                                  {width, height}, true);
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

std::vector<std::string> fakesinkConsumer(const std::string& node, bool verbose) {
    std::vector<std::string> command = {
        "pipewiresrc", "target-object=" + node, "!", "video/x-raw,format=BGRA", "!", "fakesink"};
    if (verbose) {
        // Line-buffered, so that each buffer's report leaves at once.
        command.insert(command.begin(), {"stdbuf", "-oL", "gst-launch-1.0", "-v"});
        command.push_back("silent=false");
    } else {
        command.insert(command.begin(), {"gst-launch-1.0", "-q"});
    }
    return command;
}

bool nodeAppears(const PipeWireDaemon& daemon, const std::string& node) {
    return within(std::chrono::seconds(30), [&] { return !daemon.node(node).empty(); });
}

// Median cost per tick of a new frame and of a repeated one, in microseconds.
std::pair<double, double> tickCosts(const PipeWireDaemon& daemon, int width, int height) {
    Frames frames(width, height);
    const std::string name = "Tick" + std::to_string(width);
    auto publisher = PipeWirePublisher::create(name, frames.context);
    frames.bindNext(width, height);
    publishMicroseconds(*publisher, frames, width, height);
    if (!nodeAppears(daemon, "cliploop." + name)) fail("the node did not appear");
    Child consumer(fakesinkConsumer("cliploop." + name, false), "/dev/null");
    within(std::chrono::seconds(30), [&] { return publisher->streaming(); });
    std::vector<double> fresh, repeated;
    for (int i = 0; i < 400; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(16));
        const bool isNew = i % 2 == 0;
        if (isNew) frames.bindNext(width, height);
        const double cost = publishMicroseconds(*publisher, frames, width, height);
        if (i >= 40) (isNew ? fresh : repeated).push_back(cost);
    }
    if (publisher->copiedFrameCount() == 0) fail("no frame reached the consumer");
    return {percentile(fresh, 0.5), percentile(repeated, 0.5)};
}

// Publication-to-sample latencies in milliseconds.
std::vector<double> latencies(const PipeWireDaemon& daemon, double seconds) {
    Frames frames(1920, 1080);
    auto publisher = PipeWirePublisher::create("Latency", frames.context);
    frames.bindNext(1920, 1080);
    publishMicroseconds(*publisher, frames, 1920, 1080);
    if (!nodeAppears(daemon, "cliploop.Latency")) fail("the node did not appear");

    const std::string fifo = daemon.runtimeDir() + "/reports";
    mkfifo(fifo.c_str(), 0600);
    const int reports = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    Child consumer(fakesinkConsumer("cliploop.Latency", true), fifo);
    fcntl(reports, F_SETFL, 0);

    const int ticks = static_cast<int>(seconds * 62.5);
    std::vector<std::atomic<double>> published(static_cast<size_t>(ticks) + 2);
    std::vector<double> result;
    std::thread reader([&] {
        std::string pending;
        char buffer[4096];
        for (ssize_t n; (n = read(reports, buffer, sizeof buffer)) > 0;) {
            const double now = hostTime();
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                const size_t at = line.find("chain");
                const size_t offset = line.find("offset: ");
                if (at == std::string::npos || offset == std::string::npos) continue;
                const size_t number = std::strtoull(line.c_str() + offset + 8, nullptr, 10);
                if (number > 1 && number < published.size() && published[number] > 0)
                    result.push_back((now - published[number]) * 1e3);
            }
        }
    });
    within(std::chrono::seconds(30), [&] { return publisher->streaming(); });
    // The first publication was number 1; a 30 fps clip on the 62.5 Hz tick.
    auto next = Clock::now();
    for (int i = 2; i <= ticks; ++i) {
        next += std::chrono::microseconds(16000);
        std::this_thread::sleep_until(next);
        if (i % 2 == 0) frames.bindNext(1920, 1080);
        published[static_cast<size_t>(i)] = hostTime();
        publishMicroseconds(*publisher, frames, 1920, 1080);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    consumer.end();
    reader.join();
    close(reports);
    return result;
}

enum class Mode { consumer, noConsumer, noPipeWire };

// CPU seconds per second of cliploop-play over the middle of a run.
double playCpu(const PipeWireDaemon& daemon, const std::string& play, const std::string& clip,
               Mode mode, double seconds, const std::string& emptyRuntimeDir) {
    static int runs = 0;
    const std::string name = "Cpu" + std::to_string(++runs);
    const std::string runtimeDir = mode == Mode::noPipeWire ? emptyRuntimeDir : daemon.runtimeDir();
    // Children take the runtime directory from this process's environment.
    setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
    Child player({play, "--publish", name, "--seconds", std::to_string(seconds + 3), clip},
                 "/dev/null");
    setenv("XDG_RUNTIME_DIR", daemon.runtimeDir().c_str(), 1);
    std::unique_ptr<Child> consumer;
    if (mode != Mode::noPipeWire && !nodeAppears(daemon, "cliploop." + name))
        fail("the node did not appear");
    if (mode == Mode::consumer)
        consumer =
            std::make_unique<Child>(fakesinkConsumer("cliploop." + name, false), "/dev/null");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const double start = cpuSeconds(player.pid());
    const double startHost = hostTime();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double used = cpuSeconds(player.pid()) - start;
    return used / (hostTime() - startHost);
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    const double seconds = std::max(
        2.0, std::atof(std::getenv("PIPEWIRE_BENCH_SECONDS") ? std::getenv("PIPEWIRE_BENCH_SECONDS")
                                                             : "0"));
    const double latencySeconds = seconds > 2 ? seconds : 20;
    const double cpuWindow = seconds > 2 ? std::min(seconds, 8.0) : 8;
    const std::string build = std::getenv("BENCH_BUILD") ? std::getenv("BENCH_BUILD") : "build";

    PipeWireDaemon daemon;
    if (const std::string why = daemon.start(); !why.empty()) fail(why);
    setenv("XDG_RUNTIME_DIR", daemon.runtimeDir().c_str(), 1);

    const auto [new1080, repeat1080] = tickCosts(daemon, 1920, 1080);
    const auto [new4k, repeat4k] = tickCosts(daemon, 3840, 2160);
    report("tick_us_new_1080p", new1080);
    report("tick_us_repeated_1080p", repeat1080);
    report("tick_us_new_4k", new4k);
    report("tick_us_repeated_4k", repeat4k);
    // For reference: one copy of a 1080p picture, what the publisher's thread
    // does for each new frame a consumer takes.
    report("copy_us_1080p_reference", bench::memcpyMicroseconds(1920, 1080, 31));

    const auto latency = latencies(daemon, latencySeconds);
    report("latency_p50_ms", percentile(latency, 0.5));
    report("latency_p99_ms", percentile(latency, 0.99));
    report("latency_samples", static_cast<double>(latency.size()));

    PipeWireDaemon noDaemon;  // a runtime directory with no daemon in it
    const std::string clip = daemon.runtimeDir() + "/1080p30.mp4";
    if (std::system(("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30 "
                     "-frames:v 60 -c:v libx264 -preset ultrafast -pix_fmt yuv420p " +
                     clip)
                        .c_str()) != 0)
        fail("could not make the 1080p clip");
    const std::string play = build + "/bin/cliploop-play";
    double cpu[3] = {0, 0, 0};
    const int rounds = 3;
    for (int round = 0; round < rounds; ++round)
        for (Mode mode : {Mode::consumer, Mode::noConsumer, Mode::noPipeWire})
            cpu[static_cast<int>(mode)] +=
                playCpu(daemon, play, clip, mode, cpuWindow, noDaemon.runtimeDir()) / rounds;
    report("play_cpu_percent_consumer", cpu[0] * 100);
    report("play_cpu_percent_no_consumer", cpu[1] * 100);
    report("play_cpu_percent_no_pipewire", cpu[2] * 100);
    report("play_cpu_consumer_over_no_consumer", cpu[0] / cpu[1]);
    report("play_cpu_consumer_over_no_pipewire", cpu[0] / cpu[2]);
    return 0;
}
