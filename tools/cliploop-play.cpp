// cliploop-play: plays one file with no window through the application's own
// clip loop and frame pump: the loop turns in the end-of-item observer, and
// the pump takes the newest frame every 16 ms.
//
//   cliploop-play [--rate R] [--loops N | --seconds S] [--png DIR] [--publish NAME] FILE
//
// --publish NAME serves the frames through a frame server of that name, as the
// application serves "Video": every tick publishes the shared texture, whose
// storage is the surface of the newest frame taken (see cliploop-receive).
//
// Prints a summary on standard output. A file that cannot be played prints
// one line on standard error and exits with status 1.
#include <algorithm>
#include <any>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/AtomicSharedPtr.h"
#include "foundation/FileUrl.h"
#include "foundation/HostClock.h"
#include "foundation/NotificationCenter.h"
#include "foundation/RepeatingTimer.h"
#include "media/ClipLoop.h"
#include "media/MediaEngine.h"
#include "pipewiresource/PipeWirePublisher.h"
#include "pump/FramePump.h"
#include "sharing/FrameSharing.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using namespace cliploop;

struct Options {
    std::string file;
    float rate = 1.0f;
    int loops = 1;       // loop turns to play (when seconds is 0)
    double seconds = 0;  // play this long instead, when > 0
    std::string pngFolder;
    std::string publishName;
};

void usage() {
    std::fprintf(stderr,
                 "usage: cliploop-play [--rate R] [--loops N | --seconds S] [--png DIR] "
                 "[--publish NAME] FILE\n");
}

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        char* end = nullptr;
        if (arg == "--rate" && hasValue) {
            options->rate = std::strtof(argv[++i], &end);
            if (*end || !std::isfinite(options->rate) || options->rate < 0) return false;
        } else if (arg == "--loops" && hasValue) {
            options->loops = static_cast<int>(std::strtol(argv[++i], &end, 10));
            if (*end || options->loops < 1) return false;
        } else if (arg == "--seconds" && hasValue) {
            options->seconds = std::strtod(argv[++i], &end);
            if (*end || !(options->seconds > 0)) return false;
        } else if (arg == "--png" && hasValue) {
            options->pngFolder = argv[++i];
        } else if (arg == "--publish" && hasValue) {
            options->publishName = argv[++i];
        } else if (!arg.empty() && arg[0] != '-' && options->file.empty()) {
            options->file = arg;
        } else {
            return false;
        }
    }
    return !options->file.empty();
}

// One frame the pump took.
struct Taken {
    int turn;            // loop turns before it (0: the clip start's output)
    double hostTime;     // when the tick took it
    MediaTime itemTime;  // its presentation time
};

// Writes every frame it is given as DIR/frame-NNNNNN.png, on a thread of its
// own; the pump waits when it falls more than a few frames behind, so that
// every frame taken is written and memory stays bounded.
class PngWriter {
  public:
    explicit PngWriter(std::string folder) : folder_(std::move(folder)) {
        thread_ = std::thread([this] { run(); });
    }
    ~PngWriter() { finish(); }
    // Writes what is queued; true when every file was written.
    bool finish() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
            changed_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
        return !failed_.load();
    }

    void add(const PixelBuffer& frame) {
        Picture picture{frame.width(), frame.height(), {}};
        picture.rgba.resize(static_cast<size_t>(frame.width()) * frame.height() * 4);
        for (int y = 0; y < frame.height(); ++y) {
            const uint8_t* in = frame.baseAddress() + static_cast<size_t>(y) * frame.bytesPerRow();
            uint8_t* out = &picture.rgba[static_cast<size_t>(y) * frame.width() * 4];
            for (int x = 0; x < frame.width(); ++x, in += 4, out += 4) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
                out[3] = in[3];
            }
        }
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return queue_.size() < kMaxQueued; });
        queue_.push_back(std::move(picture));
        changed_.notify_all();
    }

  private:
    static constexpr size_t kMaxQueued = 8;
    struct Picture {
        int width, height;
        std::vector<uint8_t> rgba;
    };

    void run() {
        int index = 0;
        for (;;) {
            Picture picture;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return done_ || !queue_.empty(); });
                if (queue_.empty()) return;
                picture = std::move(queue_.front());
                queue_.pop_front();
                changed_.notify_all();
            }
            char name[32];
            std::snprintf(name, sizeof name, "/frame-%06d.png", ++index);
            if (!write(picture, folder_ + name)) failed_ = true;
        }
    }

    static bool write(const Picture& picture, const std::string& path) {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
        AVCodecContext* context = codec ? avcodec_alloc_context3(codec) : nullptr;
        AVFrame* frame = av_frame_alloc();
        AVPacket* packet = av_packet_alloc();
        bool ok = context && frame && packet;
        if (ok) {
            context->width = picture.width;
            context->height = picture.height;
            context->pix_fmt = AV_PIX_FMT_RGBA;
            context->time_base = {1, 30};
            ok = avcodec_open2(context, codec, nullptr) >= 0;
        }
        if (ok) {
            frame->width = picture.width;
            frame->height = picture.height;
            frame->format = AV_PIX_FMT_RGBA;
            frame->data[0] = const_cast<uint8_t*>(picture.rgba.data());
            frame->linesize[0] = picture.width * 4;
            ok = avcodec_send_frame(context, frame) >= 0 &&
                 avcodec_receive_packet(context, packet) >= 0;
        }
        if (ok) {
            FILE* file = std::fopen(path.c_str(), "wb");
            ok = file && std::fwrite(packet->data, 1, packet->size, file) ==
                             static_cast<size_t>(packet->size);
            if (file) ok = std::fclose(file) == 0 && ok;
        }
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
        return ok;
    }

    const std::string folder_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Picture> queue_;
    bool done_ = false;
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

// What the pump reports: every frame taken, numbered by loop turn. A turn
// hands the pump a fresh output, so a frame from another output than the last
// one's opens the next turn.
class TakenRecord {
  public:
    void add(const PixelBufferRef& frame, const std::shared_ptr<PlayerItemVideoOutput>& output,
             double host) {
        std::lock_guard lock(mutex_);
        if (output != lastOutput_) {
            if (lastOutput_) ++turn_;
            lastOutput_ = output;
        }
        taken_.push_back({turn_, host, frame->presentationTime()});
    }
    std::vector<Taken> taken() const {
        std::lock_guard lock(mutex_);
        return taken_;
    }

  private:
    mutable std::mutex mutex_;  // ticks run one at a time, but on different threads
    std::shared_ptr<PlayerItemVideoOutput> lastOutput_;
    int turn_ = 0;
    std::vector<Taken> taken_;
};

// The frame server and the shared texture that the pump binds and publishes,
// made as the application makes them at start-up.
struct Publication {
    std::shared_ptr<GraphicsContext> context;
    uint32_t texture = 0;
    std::shared_ptr<FrameServer> server;
    std::shared_ptr<PipeWirePublisher> pipeWire;

    static std::unique_ptr<Publication> create(const std::string& name) {
        auto format =
            PixelFormat::create({gl::kPixelFormatDoubleBuffer, gl::kPixelFormatColorSize, 32, 0});
        if (!format) return nullptr;
        auto publication = std::make_unique<Publication>();
        publication->context = GraphicsContext::create(*format);
        if (!publication->context) return nullptr;
        publication->context->makeCurrentContext();
        publication->texture = publication->context->genTexture();
        publication->server = FrameServer::create(name, publication->context);
        if (!publication->server) return nullptr;
        publication->pipeWire = PipeWirePublisher::create(name, publication->context);
        return publication;
    }
};

void printSummary(const Options& options, const ClipLoop& loop, double startHost,
                  const std::vector<Taken>& taken) {
    std::map<int, int> perTurn;
    for (const auto& t : taken) ++perTurn[t.turn];
    // Gaps between consecutive frames, within turns and across seams.
    double largestSeamGap = 0, largestGap = 0;
    std::vector<double> spacing;
    for (size_t i = 1; i < taken.size(); ++i) {
        const double gap = taken[i].hostTime - taken[i - 1].hostTime;
        if (taken[i].turn != taken[i - 1].turn) {
            largestSeamGap = std::max(largestSeamGap, gap);
        } else {
            largestGap = std::max(largestGap, gap);
            spacing.push_back(gap);
        }
    }
    std::sort(spacing.begin(), spacing.end());
    const double typical = spacing.empty() ? 0 : spacing[spacing.size() / 2];
    const ItemStats stats = loop.stats();

    std::printf("file: %s\n", options.file.c_str());
    std::printf("rate: %.2f\n", options.rate);
    std::printf("loop turns: %d\n", loop.turns());
    std::printf("frames taken per loop turn:");
    for (int turn = 0; turn <= loop.turns(); ++turn)
        if (perTurn.count(turn)) std::printf(" %d", perTurn[turn]);
    std::printf("\n");
    std::printf("frames taken: %zu\n", taken.size());
    std::printf(
        "frames the clock skipped: %lld\n",
        static_cast<long long>(stats.skippedLate) + static_cast<long long>(stats.droppedUnseen));
    std::printf("largest gap at a seam: %.1f ms\n", largestSeamGap * 1e3);
    std::printf("largest gap within a turn: %.1f ms (typical %.1f ms)\n", largestGap * 1e3,
                typical * 1e3);
    if (!taken.empty())
        std::printf("time to first frame: %.1f ms\n", (taken.front().hostTime - startHost) * 1e3);
    else
        std::printf("time to first frame: none\n");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, &options)) {
        usage();
        return 2;
    }
    const FileUrl url = FileUrl::fromPath(options.file);

    AtomicSharedPtr<PlayerItemVideoOutput> videoOutput;
    FramePump pump(videoOutput);
    TakenRecord record;
    pump.addFrameHook([&record](const PixelBufferRef& frame,
                                const std::shared_ptr<PlayerItemVideoOutput>& output,
                                double host) { record.add(frame, output, host); });
    std::unique_ptr<PngWriter> png;
    if (!options.pngFolder.empty()) {
        png = std::make_unique<PngWriter>(options.pngFolder);
        pump.addFrameHook(
            [&png](const PixelBufferRef& frame, const auto&, double) { png->add(*frame); });
    }

    std::unique_ptr<Publication> publication;
    FrameSize size{512, 512};
    FrameTarget target;
    if (!options.publishName.empty()) {
        publication = Publication::create(options.publishName);
        if (!publication) {
            std::fprintf(stderr, "cliploop-play: cannot serve frames as \"%s\"\n",
                         options.publishName.c_str());
            return 1;
        }
        target = {publication->context.get(),
                  publication->texture,
                  {publication->server.get(), publication->pipeWire.get()},
                  &size};
    }

    const std::shared_ptr<QueuePlayer> player = QueuePlayer::create();
    ClipLoop loop(player, videoOutput);
    loop.observeEnds();
    const double startHost = hostTime();
    const PreparedClip clip = PreparedClip::prepare(url);
    loop.start(clip, options.rate);
    RepeatingTimer timer(std::chrono::milliseconds(16),
                         [&pump, &target] { pump.tick(target, hostTime()); });
    timer.start();

    int status = 0;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (clip.failed()) {
            std::fprintf(stderr, "cliploop-play: cannot play %s: %s\n", options.file.c_str(),
                         clip.failureReason().c_str());
            status = 1;
            break;
        }
        if (options.seconds > 0 ? hostTime() - startHost >= options.seconds
                                : loop.turns() >= options.loops)
            break;
    }
    timer.cancel();
    player->pause();
    if (status != 0) return status;
    printSummary(options, loop, startHost, record.taken());
    if (publication)
        std::printf("frames published: %llu\n",
                    static_cast<unsigned long long>(publication->server->frameCount()));
    if (png && !png->finish()) {
        std::fprintf(stderr, "cliploop-play: could not write PNG files into %s\n",
                     options.pngFolder.c_str());
        return 1;
    }
    return 0;
}
