// Clip start: host time from creating the items of a 1080p H.264 clip to its
// first frame being ready at the output, against ffmpeg's time to decode the
// first frame of the same clip (`-frames:v 1`), in the same run.
#include <algorithm>
#include <thread>

#include "../media-common/MediaBench.h"

using namespace cliploop;
using namespace cliploop::bench;

namespace {

double startToFirstFrame(const std::string& path) {
    const double start = hostTime();
    ClipLooper looper(
        FileUrl::fromPath(path));  // the clip start: output, asset, two items, queue, play
    for (;;) {
        const auto [output, turn] = looper.currentOutput();
        const double host = hostTime();
        if (output->hasNewPixelBufferForItemTime(output->itemTimeForHostTime(host)))
            return host - start;
        if (host - start > 10) return host - start;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
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
    makeClip(path, "testsrc2=size=1920x1080:rate=30:duration=3",
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
    return 0;
}
