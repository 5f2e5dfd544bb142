// cliploop-receive: receives the frames a cliploop frame server publishes.
//
//   cliploop-receive --list
//   cliploop-receive [NAME] [--pid PID] [--frames N] [--png DIR] [--raw] [--stats]
//                    [--timeout SECONDS]
//
// NAME defaults to "Video". --raw writes each frame's pixels, upright, as BGRA
// to standard output, for example for
//   cliploop-receive --raw | ffmpeg -f rawvideo -pix_fmt bgra -s WxH -r 62.5 -i - out.mp4
// (the size is printed to standard error first). --png writes DIR/frame-NNNNNN.png.
// --stats prints frames per second and the latency from publication to
// receipt once a second.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cliploop/FrameClient.h"

namespace {

volatile sig_atomic_t interrupted = 0;

struct Options {
    bool list = false;
    std::string name = "Video";
    pid_t pid = 0;
    long frames = -1;  // no limit
    std::string pngDirectory;
    bool raw = false;
    bool stats = false;
    bool help = false;
    double timeoutSeconds = 10;
};

void usage(FILE* out) {
    std::fputs(
        "usage: cliploop-receive --list\n"
        "       cliploop-receive [NAME] [--pid PID] [--frames N] [--png DIR] [--raw] [--stats]\n"
        "                        [--timeout SECONDS]\n"
        "Receives frames from the frame server NAME (default \"Video\").\n"
        "  --list          list the running frame servers: name, application, process id\n"
        "  --pid PID       the server of that name in process PID\n"
        "  --frames N      stop after N frames\n"
        "  --png DIR       write each frame, upright, as DIR/frame-NNNNNN.png\n"
        "  --raw           write each frame, upright, as raw BGRA to standard output\n"
        "  --stats         print frames per second and publish-to-receipt latency each second\n"
        "  --timeout S     give up when no frame comes for S seconds (default 10, 0: never)\n",
        out);
}

bool parseNumber(const char* text, double min, double max, double* out) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= min && value <= max)) return false;
    *out = value;
    return true;
}

// Returns false (after printing why) when the command line is not understood.
bool parseOptions(int argc, char** argv, Options* options) {
    bool nameGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        double number = 0;
        if (arg == "--list") {
            options->list = true;
        } else if (arg == "--raw") {
            options->raw = true;
        } else if (arg == "--stats") {
            options->stats = true;
        } else if (arg == "--help" || arg == "-h") {
            options->help = true;
            return true;
        } else if (arg == "--pid") {
            const char* v = value();
            if (!v || !parseNumber(v, 1, 4194304, &number)) {
                std::fputs("cliploop-receive: --pid needs a process id\n", stderr);
                return false;
            }
            options->pid = static_cast<pid_t>(number);
        } else if (arg == "--frames") {
            const char* v = value();
            if (!v || !parseNumber(v, 1, 1e15, &number)) {
                std::fputs("cliploop-receive: --frames needs a positive count\n", stderr);
                return false;
            }
            options->frames = static_cast<long>(number);
        } else if (arg == "--timeout") {
            const char* v = value();
            if (!v || !parseNumber(v, 0, 1e6, &number)) {
                std::fputs("cliploop-receive: --timeout needs seconds\n", stderr);
                return false;
            }
            options->timeoutSeconds = number;
        } else if (arg == "--png") {
            const char* v = value();
            if (!v || !*v) {
                std::fputs("cliploop-receive: --png needs a directory\n", stderr);
                return false;
            }
            options->pngDirectory = v;
        } else if (arg.starts_with("-") || nameGiven) {
            std::fprintf(stderr, "cliploop-receive: unknown argument '%s'\n", arg.c_str());
            return false;
        } else {
            options->name = arg;
            nameGiven = true;
        }
    }
    return true;
}

// The picture's rows, top first, packed: what --raw and --png write.
void copyUpright(const cliploop::Frame& frame, uint8_t* out, int outStride, bool rgb) {
    for (int y = 0; y < frame.height(); ++y) {
        const uint8_t* row = frame.row(y);
        uint8_t* dst = out + static_cast<size_t>(y) * static_cast<size_t>(outStride);
        if (!rgb) {
            std::memcpy(dst, row, static_cast<size_t>(frame.width()) * 4);
            continue;
        }
        for (int x = 0; x < frame.width(); ++x) {
            dst[3 * x + 0] = row[4 * x + 2];
            dst[3 * x + 1] = row[4 * x + 1];
            dst[3 * x + 2] = row[4 * x + 0];
        }
    }
}

// PNG files through libavcodec's encoder (RGB: video frames carry no
// meaningful alpha).
class PngWriter {
  public:
    ~PngWriter() { reset(); }

    // Copies the frame's pixels and releases it before the (slow) encoding.
    bool write(cliploop::Frame& frame, const std::string& path) {
        if (!context_ || context_->width != frame.width() || context_->height != frame.height()) {
            if (!open(frame.width(), frame.height())) return false;
        }
        if (av_frame_make_writable(picture_) < 0) return false;
        copyUpright(frame, picture_->data[0], picture_->linesize[0], true);
        frame.release();
        if (avcodec_send_frame(context_, picture_) < 0 ||
            avcodec_receive_packet(context_, packet_) < 0) {
            return false;
        }
        FILE* file = std::fopen(path.c_str(), "wb");
        bool ok = file && std::fwrite(packet_->data, 1, static_cast<size_t>(packet_->size), file) ==
                              static_cast<size_t>(packet_->size);
        if (file) ok = std::fclose(file) == 0 && ok;
        av_packet_unref(packet_);
        return ok;
    }

  private:
    bool open(int width, int height) {
        reset();
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
        if (!codec) return false;
        context_ = avcodec_alloc_context3(codec);
        picture_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (!context_ || !picture_ || !packet_) return false;
        context_->width = width;
        context_->height = height;
        context_->pix_fmt = AV_PIX_FMT_RGB24;
        context_->time_base = {1, 60};
        picture_->format = AV_PIX_FMT_RGB24;
        picture_->width = width;
        picture_->height = height;
        return avcodec_open2(context_, codec, nullptr) >= 0 &&
               av_frame_get_buffer(picture_, 0) >= 0;
    }

    void reset() {
        avcodec_free_context(&context_);
        av_frame_free(&picture_);
        av_packet_free(&packet_);
    }

    AVCodecContext* context_ = nullptr;
    AVFrame* picture_ = nullptr;
    AVPacket* packet_ = nullptr;
};

// Frames per second and latency over the last second and the whole run.
class Stats {
  public:
    void add(double latencySeconds) {
        window_.push_back(latencySeconds * 1e6);
        all_.push_back(latencySeconds * 1e6);
        if (all_.size() > 1000000) all_.erase(all_.begin(), all_.begin() + 500000);
    }

    void printEverySecond(FILE* out, double now) {
        if (windowStart_ == 0) windowStart_ = now;
        if (now - windowStart_ < 1.0) return;
        print(out, "", window_, now - windowStart_);
        window_.clear();
        windowStart_ = now;
    }

    void printTotal(FILE* out, double elapsed) { print(out, "total ", all_, elapsed); }

  private:
    static void print(FILE* out, const char* label, std::vector<double> latencies, double seconds) {
        if (latencies.empty()) {
            std::fprintf(out, "%sfps 0.0\n", label);
            return;
        }
        std::sort(latencies.begin(), latencies.end());
        auto percentile = [&](double p) {
            return latencies[static_cast<size_t>(p * static_cast<double>(latencies.size() - 1))];
        };
        std::fprintf(out,
                     "%sfps %.1f  latency p50 %.0f us  p99 %.0f us  max %.0f us  (%zu frames)\n",
                     label, static_cast<double>(latencies.size()) / seconds, percentile(0.5),
                     percentile(0.99), latencies.back(), latencies.size());
        std::fflush(out);
    }

    std::vector<double> window_, all_;
    double windowStart_ = 0;
};

int listServers() {
    const auto servers = cliploop::listFrameServers();
    for (const auto& server : servers) {
        std::printf("%s\t%s\t%d\n", server.name.c_str(), server.application.c_str(),
                    static_cast<int>(server.pid));
    }
    if (servers.empty()) std::fputs("cliploop-receive: no frame server is running\n", stderr);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        usage(stderr);
        return 2;
    }
    if (options.help) {
        usage(stdout);
        return 0;
    }
    if (options.list) return listServers();

    signal(SIGPIPE, SIG_IGN);  // a closed pipe on --raw ends the run, not the process
    struct sigaction stop {};
    stop.sa_handler = [](int) { interrupted = 1; };
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);

    if (!options.pngDirectory.empty()) {
        std::error_code error;
        std::filesystem::create_directories(options.pngDirectory, error);
        if (error) {
            std::fprintf(stderr, "cliploop-receive: %s: %s\n", options.pngDirectory.c_str(),
                         error.message().c_str());
            return 1;
        }
    }

    std::string error;
    auto client = options.pid ? cliploop::FrameClient::connect(options.name, options.pid, &error)
                              : cliploop::FrameClient::connect(options.name, &error);
    if (!client) {
        std::fprintf(stderr, "cliploop-receive: %s\n", error.c_str());
        return 1;
    }
    FILE* report = options.raw ? stderr : stdout;
    std::fprintf(stderr, "cliploop-receive: receiving \"%s\" from %s (process %d)\n",
                 client->server().name.c_str(), client->server().application.c_str(),
                 static_cast<int>(client->server().pid));

    PngWriter png;
    Stats stats;
    std::vector<uint8_t> rawBuffer;
    int rawWidth = 0, rawHeight = 0;
    long received = 0;
    const double started = cliploop::hostTimeNow();
    double lastFrameAt = started;
    int status = 0;

    while (!interrupted && (options.frames < 0 || received < options.frames)) {
        auto frame = client->receiveFrame(std::chrono::milliseconds(200));
        const double now = cliploop::hostTimeNow();
        if (!frame) {
            if (client->ended()) {
                std::fputs("cliploop-receive: the server has ended the stream\n", stderr);
                if (options.frames >= 0) status = 1;
                break;
            }
            if (options.timeoutSeconds > 0 && now - lastFrameAt > options.timeoutSeconds) {
                std::fputs("cliploop-receive: no frame arrived in time\n", stderr);
                status = 1;
                break;
            }
            if (options.stats) stats.printEverySecond(report, now);
            continue;
        }
        lastFrameAt = now;
        ++received;
        if (options.stats) {
            stats.add(now - frame->hostTime());
            stats.printEverySecond(report, now);
        }
        // Copies are taken first, so that the frame goes back to the server
        // before the slow parts (encoding, writing).
        if (options.raw) {
            if (rawWidth == 0) {
                rawWidth = frame->width();
                rawHeight = frame->height();
                std::fprintf(stderr, "cliploop-receive: raw bgra %dx%d\n", rawWidth, rawHeight);
            } else if (frame->width() != rawWidth || frame->height() != rawHeight) {
                // A raw stream has one size; a reader cannot follow a change.
                std::fprintf(stderr,
                             "cliploop-receive: the frame size changed to %dx%d; stopping\n",
                             frame->width(), frame->height());
                status = 3;
                break;
            }
            const size_t stride = static_cast<size_t>(rawWidth) * 4;
            rawBuffer.resize(stride * static_cast<size_t>(rawHeight));
            copyUpright(*frame, rawBuffer.data(), static_cast<int>(stride), false);
        }
        if (!options.pngDirectory.empty()) {
            char file[32];
            std::snprintf(file, sizeof file, "frame-%06ld.png", received);
            const std::string path = options.pngDirectory + "/" + file;
            if (!png.write(*frame, path)) {
                std::fprintf(stderr, "cliploop-receive: cannot write %s\n", path.c_str());
                status = 1;
                break;
            }
        }
        frame->release();
        if (options.raw &&
            (std::fwrite(rawBuffer.data(), 1, rawBuffer.size(), stdout) != rawBuffer.size() ||
             std::fflush(stdout) != 0)) {
            break;  // the reader went away
        }
    }
    if (options.stats) stats.printTotal(report, cliploop::hostTimeNow() - started);
    if (!options.raw) std::fprintf(report, "cliploop-receive: %ld frames received\n", received);
    return status;
}
