// Frames per second through the engine at full speed into BGRA pixel
// buffers, against `ffmpeg -threads 0 -i CLIP -pix_fmt bgra -f null -` on
// the same clip, measured in the same run.
#include <algorithm>

#include "../media-common/MediaBench.h"

using namespace cliploop;
using namespace cliploop::bench;

namespace {

// Decodes every frame of the clip through an item, as fast as it goes.
double engineFramesPerSecond(const std::string& path, int* frames) {
    const double start = hostTime();
    auto item = PlayerItem::create(Asset::assetWithURL(FileUrl::fromPath(path)));
    bool ended = false;
    *frames = 0;
    while (!ended) {
        if (item->copyNextPixelBuffer(std::chrono::seconds(60), &ended))
            ++*frames;
        else if (!ended)
            break;
    }
    return *frames / (hostTime() - start);
}

double ffmpegFramesPerSecond(const std::string& path, int frames) {
    const ProcessCost cost = run({"ffmpeg", "-v", "error", "-threads", "0", "-i", path, "-pix_fmt",
                                  "bgra", "-f", "null", "-"});
    return cost.status == 0 ? frames / cost.wallSeconds : 0;
}

}  // namespace

int main() {
    TempDir dir;
    const double seconds = envNumber("BENCH_THROUGHPUT_SECONDS", 4);
    const std::string t = std::to_string(seconds);
    struct Clip {
        const char* name;
        std::string source;
        std::vector<std::string> encoding;
    };
    const std::vector<Clip> clips = {
        {"h264_1080p30",
         "testsrc2=size=1920x1080:rate=30:duration=" + t,
         {"-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p"}},
        {"h264_1080p60",
         "testsrc2=size=1920x1080:rate=60:duration=" + t,
         {"-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p"}},
        {"h264_2160p30",
         "testsrc2=size=3840x2160:rate=30:duration=" + std::to_string(seconds / 2),
         {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"}},
        {"prores422_10bit",
         "testsrc2=size=1920x1080:rate=30:duration=" + std::to_string(seconds / 2),
         {"-c:v", "prores_ks", "-profile:v", "2", "-pix_fmt", "yuv422p10le"}},
        {"mjpeg_1080p30",
         "testsrc2=size=1920x1080:rate=30:duration=" + t,
         {"-c:v", "mjpeg", "-q:v", "3", "-pix_fmt", "yuvj420p"}},
    };
    for (const Clip& clip : clips) {
        const std::string path =
            dir.path(std::string(clip.name) + (clip.name[0] == 'p' ? ".mov" : ".mp4"));
        makeClip(path, clip.source, clip.encoding);
        // Alternate the two, best of three each: the machine is shared.
        double engine = 0, reference = 0;
        int frames = 0;
        for (int round = 0; round < 3; ++round) {
            engine = std::max(engine, engineFramesPerSecond(path, &frames));
            reference = std::max(reference, ffmpegFramesPerSecond(path, frames));
        }
        figure(std::string("media-throughput.") + clip.name + "_fps", engine);
        figure(std::string("media-throughput.") + clip.name + "_ffmpeg_fps", reference);
        figure(std::string("media-throughput.") + clip.name + "_ratio",
               reference > 0 ? engine / reference : 0);
    }
    return 0;
}
