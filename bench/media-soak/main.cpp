// Soak: a 1 s clip looped the application's way, the rate changed every
// second, the newest frame read every 16 ms. Resident memory after the first
// minute must stay flat. BENCH_SOAK_SECONDS shortens the run (default 600);
// the baseline is taken at 60 s, or halfway through a shorter run.
#include <thread>

#include "../media-common/MediaBench.h"
#include "foundation/RepeatingTimer.h"

using namespace cliploop;
using namespace cliploop::bench;

int main() {
    const double seconds = envNumber("BENCH_SOAK_SECONDS", 600);
    const double baselineAt = std::min(60.0, seconds / 2);
    TempDir dir;
    const std::string path = dir.path("second.mp4");
    makeClip(path, "testsrc2=size=1280x720:rate=30:duration=1",
             {"-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p"});

    const float rates[] = {1.0f, 2.0f, 0.5f, 4.0f, 0.0f, 8.0f, 1.5f, 0.25f};
    std::atomic<int64_t> taken = 0;
    PlayingClip clip(FileUrl::fromPath(path));
    RepeatingTimer pump(std::chrono::milliseconds(16), [&] {
        if (clip.tick(hostTime())) ++taken;
    });
    pump.start();
    const double start = hostTime();
    double baseline = -1;
    for (int second = 0; hostTime() - start < seconds; ++second) {
        clip.player().setRate(rates[second % 8]);
        while (hostTime() - start < second + 1 && hostTime() - start < seconds)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (baseline < 0 && hostTime() - start >= baselineAt) baseline = residentMegabytes();
    }
    pump.cancel();
    const double end = residentMegabytes();
    figure("media-soak.seconds", hostTime() - start);
    figure("media-soak.loop_turns", clip.loop().turns());
    figure("media-soak.frames_taken", static_cast<double>(taken.load()));
    figure("media-soak.rss_baseline_mb", baseline);
    figure("media-soak.rss_growth_mb", end - baseline);
    return 0;
}
