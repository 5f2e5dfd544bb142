// Real-time cost: the 1080p60 clip looped at rate 1 with one output read
// every 16 ms, as the frame pump reads it. CPU seconds of the whole process
// against ffmpeg's CPU for decoding the same frames to BGRA (by frame count)
// in real time too (-re: each frame when its time comes), in the same run.
// Paced decoding costs more per frame than decoding flat out (threads sleep
// and wake, caches go cold between frames), whoever does it, so ffmpeg flat
// out is printed beside it, with ffmpeg's own paced-to-flat-out ratio as the
// measure of that cost. Frames the engine had too late are counted as missed,
// and apart those missed in the first second, while the loop's two items
// open and fill their rings at once. Minor page faults show surfaces made
// (and their fresh pages touched) rather than reused.
#include <optional>
#include <thread>

#include "../media-common/MediaBench.h"
#include "foundation/RepeatingTimer.h"

using namespace cliploop;
using namespace cliploop::bench;

int main() {
    const double seconds = envNumber("BENCH_REALTIME_SECONDS", 30);
    const double clipSeconds = 5;
    TempDir dir;
    const std::string path = dir.path("1080p60.mp4");
    makeClip(path, "testsrc2=size=1920x1080:rate=60:duration=" + std::to_string(clipSeconds),
             {"-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p"});

    std::atomic<int64_t> taken = 0;
    const long faultsBefore = minorFaults();
    const double cpuBefore = processCpuSeconds();
    const double start = hostTime();
    {
        PlayingClip clip(FileUrl::fromPath(path));
        RepeatingTimer pump(std::chrono::milliseconds(16), [&] {
            if (clip.tick(hostTime())) ++taken;
        });
        pump.start();
        std::optional<ItemStats> startup;
        while (hostTime() - start < seconds) {
            if (!startup && hostTime() - clip.startHost() >= 1.0) startup = clip.loop().stats();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pump.cancel();
        const ItemStats stats = clip.loop().stats();
        figure("media-realtime.frames_missed",
               static_cast<double>(stats.skippedLate + stats.underruns));
        if (startup)
            figure("media-realtime.frames_missed_first_second",
                   static_cast<double>(startup->skippedLate + startup->underruns));
        figure("media-realtime.frames_decoded", static_cast<double>(stats.decoded));
        figure("media-realtime.frames_taken", static_cast<double>(taken.load()));
    }
    const double engineCpu = processCpuSeconds() - cpuBefore;
    const long engineFaults = minorFaults() - faultsBefore;
    const double played = hostTime() - start;

    // ffmpeg decoding the same number of frames (the clip looped).
    const int frames = static_cast<int>(played * 60);
    const int loops = static_cast<int>(frames / (clipSeconds * 60)) + 1;
    const auto ffmpeg = [&](bool paced) {
        std::vector<std::string> argv = {
            "ffmpeg", "-v", "error", "-threads", "0", "-stream_loop", std::to_string(loops)};
        if (paced) argv.push_back("-re");  // paces the reading of the input that follows
        argv.insert(argv.end(), {"-i", path, "-frames:v", std::to_string(frames), "-pix_fmt",
                                 "bgra", "-f", "null", "-"});
        return run(argv).cpuSeconds;
    };
    const double paced = ffmpeg(true);
    const double flatOut = ffmpeg(false);
    figure("media-realtime.minor_faults", static_cast<double>(engineFaults));
    figure("media-realtime.cpu_seconds", engineCpu);
    figure("media-realtime.ffmpeg_cpu_seconds", paced);
    figure("media-realtime.ffmpeg_flat_out_cpu_seconds", flatOut);
    figure("media-realtime.cpu_ratio", paced > 0 ? engineCpu / paced : 0);
    figure("media-realtime.cpu_ratio_flat_out", flatOut > 0 ? engineCpu / flatOut : 0);
    figure("media-realtime.ffmpeg_paced_over_flat_out", flatOut > 0 ? paced / flatOut : 0);
    return 0;
}
