// Clip start and clip switch for a 1080p H.264 clip.
//
// first_frame_ms: host time from the clip start (items made and queued at
// once, as the application did before a choice waited for its first frame)
// to the pump's first frame of the clip, the pump polled every 0.2 ms,
// against ffmpeg's time to decode the first frame of the same clip
// (`-frames:v 1`), in the same run.
//
// switch_ms: host time from a choice, made while another clip plays, to the
// tick of the 16 ms pump that takes and so publishes the new clip's first
// frame: the application's way, the choice prepared on the engine's threads
// and started on the main queue once its first frame is decoded
// (switch_start_ms: to that start; the rest is the wait for the next tick).
#include <algorithm>
#include <thread>

#include "../media-common/MediaBench.h"
#include "foundation/Dispatch.h"
#include "foundation/RepeatingTimer.h"

using namespace cliploop;
using namespace cliploop::bench;

namespace {

double startToFirstFrame(const std::string& path) {
    PlayingClip clip(FileUrl::fromPath(path));
    for (;;) {
        const double host = hostTime();
        if (clip.tick(host)) return host - clip.startHost();
        if (host - clip.startHost() > 10) return host - clip.startHost();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

// Switches `rounds` times between the two clips while the pump runs on its
// timer; the clip that plays is never more than half a second in, so no loop
// turn hands the pump a fresh output in between.
struct Switches {
    std::vector<double> toStart;       // choice to the clip start on the main queue
    std::vector<double> toFirstFrame;  // choice to the pump's first frame of the clip
};

Switches switchTimes(const std::string& first, const std::string& second, int rounds) {
    dispatch::markMainThread();
    PlayingClip clip(FileUrl::fromPath(first));
    std::mutex mutex;
    std::shared_ptr<PlayerItemVideoOutput> lastOutput;
    double lastNewOutputHost = 0;
    clip.pump().addFrameHook([&](const PixelBufferRef&,
                                 const std::shared_ptr<PlayerItemVideoOutput>& output,
                                 double host) {
        std::lock_guard lock(mutex);
        if (output != lastOutput) {
            lastOutput = output;
            lastNewOutputHost = host;
        }
    });
    RepeatingTimer timer(std::chrono::milliseconds(16), [&] { clip.tick(hostTime()); });
    timer.start();
    const auto firstFrameSince = [&](double since) {
        std::lock_guard lock(mutex);
        return lastNewOutputHost >= since ? lastNewOutputHost : 0.0;
    };
    dispatch::runMainQueueUntil([&] { return firstFrameSince(0) > 0; }, std::chrono::seconds(10));

    Switches times;
    for (int i = 0; i < rounds; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const double chosen = hostTime();
        double started = 0;
        clip.loop().choose(FileUrl::fromPath(i % 2 ? first : second),
                           [&](const PreparedClip& ready) {
                               started = hostTime();
                               if (!ready.failed()) clip.loop().start(ready, 1.0f);
                           });
        if (!dispatch::runMainQueueUntil([&] { return firstFrameSince(chosen) > 0; },
                                         std::chrono::seconds(10)))
            return {};
        times.toStart.push_back(started - chosen);
        times.toFirstFrame.push_back(firstFrameSince(chosen) - chosen);
    }
    timer.cancel();
    return times;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main() {
    const int rounds = static_cast<int>(envNumber("BENCH_START_ROUNDS", 15));
    TempDir dir;
    const std::string path = dir.path("start.mp4");
    const std::string other = dir.path("other.mp4");
    makeClip(path, "testsrc2=size=1920x1080:rate=30:duration=3",
             {"-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p"});
    makeClip(other, "smptehdbars=size=1920x1080:rate=30:duration=3",
             {"-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p"});
    std::vector<double> engine, reference;
    for (int i = 0; i < rounds; ++i) {
        engine.push_back(startToFirstFrame(path));
        const ProcessCost cost = run({"ffmpeg", "-v", "error", "-threads", "0", "-i", path,
                                      "-frames:v", "1", "-pix_fmt", "bgra", "-f", "null", "-"});
        reference.push_back(cost.wallSeconds);
    }
    figure("media-start.first_frame_ms", median(engine) * 1e3);
    figure("media-start.first_frame_ms_max", *std::max_element(engine.begin(), engine.end()) * 1e3);
    figure("media-start.ffmpeg_first_frame_ms", median(reference) * 1e3);
    figure("media-start.first_frame_ratio", median(engine) / median(reference));

    const Switches switches = switchTimes(path, other, rounds);
    if (switches.toFirstFrame.empty()) {
        std::fprintf(stderr, "media-start: a chosen clip never reached the pump\n");
        return 1;
    }
    const auto& times = switches.toFirstFrame;
    figure("media-start.switch_ms", median(times) * 1e3);
    figure("media-start.switch_ms_max", *std::max_element(times.begin(), times.end()) * 1e3);
    figure("media-start.switch_start_ms", median(switches.toStart) * 1e3);
    return 0;
}
