#include "media/ThumbnailGenerator.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "media/Demuxer.h"
#include "media/PictureTurn.h"
#include "media/SwsFormat.h"
#include "media/VideoDecoder.h"

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace cliploop {

namespace {

using Clock = std::chrono::steady_clock;

// Where the picture is taken from, in seconds after the start: past a fade
// in, near enough to the start to be quick.
constexpr double kPictureAt = 1.0;
// A file gets this long, whatever it holds; a picture is not worth more.
constexpr auto kBudget = std::chrono::seconds(4);
// Frames decoded at most on the way to the picture: timestamps that never
// reach it (broken, or all the same) must not make the walk run to the end.
constexpr int kMaxFrames = 240;
// Beyond any real video; a header claiming more is not worth trusting.
constexpr int kMaxSide = 16384;

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// `in` turned clockwise by `degrees` (90, 180 or 270).
Thumbnail turned(const Thumbnail& in, int degrees) {
    Thumbnail out;
    const bool quarter = degrees % 180 != 0;
    out.width = quarter ? in.height : in.width;
    out.height = quarter ? in.width : in.height;
    out.bgra.resize(in.bgra.size());
    turnPicture(in.bgra.data(), in.width, in.height, in.width * 4, out.bgra.data(), out.width * 4,
                degrees);
    return out;
}

}  // namespace

// One scaling context, kept while frames of one shape follow each other.
struct ThumbnailGenerator::Scaler {
    ~Scaler() { sws_freeContext(context); }
    SwsContext* context = nullptr;
};

ThumbnailGenerator::ThumbnailGenerator(int maxWidth, int maxHeight)
    : maxWidth_(std::max(1, maxWidth)),
      maxHeight_(std::max(1, maxHeight)),
      scaler_(std::make_unique<Scaler>()) {}

ThumbnailGenerator::~ThumbnailGenerator() = default;

bool ThumbnailGenerator::generate(const std::string& path, Thumbnail* picture, std::string* error,
                                  const std::function<bool()>& cancelled) {
    quietenMediaLibraries();
    const Clock::time_point deadline = Clock::now() + kBudget;
    bool stopped = false;
    auto interrupted = [&] {
        stopped = stopped || (cancelled && cancelled()) || Clock::now() > deadline;
        return stopped;
    };
    auto stopReason = [&] {
        return cancelled && cancelled() ? std::string("cancelled") : std::string("took too long");
    };

    Demuxer demuxer(interrupted);
    if (!demuxer.open(path, error)) {
        if (stopped) *error = stopReason();
        return false;
    }
    const AVCodecParameters* parameters = demuxer.stream()->codecpar;
    if (parameters->width > kMaxSide || parameters->height > kMaxSide) {
        *error = "the picture is too large";
        return false;
    }
    VideoDecoder decoder;
    if (!decoder.open(demuxer.stream(), error)) return false;

    // A clip shorter than the picture's place shows its first frame.
    const double duration = demuxer.durationEstimate();
    const bool fromStart = duration >= 0 && duration <= kPictureAt;
    const AVStream* stream = demuxer.stream();
    const int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    const int64_t target = start + av_rescale_q(static_cast<int64_t>(kPictureAt * AV_TIME_BASE),
                                                AV_TIME_BASE_Q, stream->time_base);
    // A format that cannot seek is read from the start, as far as it takes.
    if (!fromStart) demuxer.seekTo(kPictureAt);

    FramePtr frame(av_frame_alloc()), first(av_frame_alloc()), chosen;
    if (!frame || !first) {
        *error = "out of memory";
        return false;
    }
    bool haveFirst = false;
    for (int decoded = 0; decoded < kMaxFrames; ++decoded) {
        const int result = decoder.receive(demuxer, frame.get());
        if (result == AVERROR_EXIT || interrupted()) {
            *error = stopReason();
            return false;
        }
        if (result != 0) break;
        if (fromStart) {
            chosen = std::move(frame);
            break;
        }
        if (!haveFirst) {
            av_frame_ref(first.get(), frame.get());
            haveFirst = true;
        }
        const int64_t time = frame->best_effort_timestamp;
        if (time == AV_NOPTS_VALUE || time >= target) {
            chosen = std::move(frame);
            break;
        }
        av_frame_unref(frame.get());
    }
    // Ended before one second (a shorter clip than its header said): the
    // first frame. Too many frames on the way: the first frame too.
    if (!chosen && haveFirst) chosen = std::move(first);
    if (!chosen) {
        *error = "no picture could be decoded";
        return false;
    }

    const int rotation = demuxer.rotation();
    const bool quarter = rotation % 180 != 0;
    const int sourceWidth = chosen->width, sourceHeight = chosen->height;
    if (sourceWidth <= 0 || sourceHeight <= 0 || sourceWidth > kMaxSide ||
        sourceHeight > kMaxSide) {
        *error = "the picture has no usable size";
        return false;
    }
    // Fitted upright, then scaled in storage orientation and turned.
    const double uprightWidth = quarter ? sourceHeight : sourceWidth;
    const double uprightHeight = quarter ? sourceWidth : sourceHeight;
    const double scale = std::min({1.0, maxWidth_ / uprightWidth, maxHeight_ / uprightHeight});
    const int fittedWidth = std::max(1, static_cast<int>(std::lround(uprightWidth * scale)));
    const int fittedHeight = std::max(1, static_cast<int>(std::lround(uprightHeight * scale)));
    Thumbnail scaled;
    scaled.width = quarter ? fittedHeight : fittedWidth;
    scaled.height = quarter ? fittedWidth : fittedHeight;
    scaled.bgra.resize(static_cast<size_t>(scaled.width) * scaled.height * 4);

    bool fullRange = chosen->color_range == AVCOL_RANGE_JPEG;
    const AVPixelFormat format =
        plainFormat(static_cast<AVPixelFormat>(chosen->format), &fullRange);
    if (!sws_isSupportedInput(format)) {
        *error = "the picture's pixel format cannot be converted";
        return false;
    }
    scaler_->context =
        sws_getCachedContext(scaler_->context, sourceWidth, sourceHeight, format, scaled.width,
                             scaled.height, AV_PIX_FMT_BGRA, SWS_AREA, nullptr, nullptr, nullptr);
    if (!scaler_->context) {
        *error = "the picture cannot be scaled";
        return false;
    }
    const int* coefficients = sws_getCoefficients(swsColorspace(chosen->colorspace));
    sws_setColorspaceDetails(scaler_->context, coefficients, fullRange ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    uint8_t* planes[4] = {scaled.bgra.data(), nullptr, nullptr, nullptr};
    int strides[4] = {scaled.width * 4, 0, 0, 0};
    if (sws_scale(scaler_->context, chosen->data, chosen->linesize, 0, sourceHeight, planes,
                  strides) != scaled.height) {
        *error = "the picture cannot be scaled";
        return false;
    }
    *picture = quarter || rotation == 180 ? turned(scaled, rotation) : std::move(scaled);
    return true;
}

}  // namespace cliploop
