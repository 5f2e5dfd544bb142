#include "media/Demuxer.h"

#include <sys/stat.h>

#include <cmath>
#include <mutex>

extern "C" {
#include <libavcodec/version.h>
#include <libavutil/display.h>
#include <libavutil/log.h>
}

namespace cliploop {

void quietenMediaLibraries() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

Demuxer::Demuxer(std::function<bool()> interrupted) : interrupted_(std::move(interrupted)) {}

Demuxer::~Demuxer() {
    close();
}

int Demuxer::interruptCallback(void* opaque) {
    auto* self = static_cast<Demuxer*>(opaque);
    return self->interrupted_ && self->interrupted_() ? 1 : 0;
}

namespace {

std::string describe(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

int rotationOf(const AVStream* stream) {
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 29, 100)
    // Stream side data moved into the codec parameters (FFmpeg 6.1).
    const AVPacketSideData* side =
        av_packet_side_data_get(stream->codecpar->coded_side_data,
                                stream->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
    const uint8_t* matrix = side && side->size >= 9 * sizeof(int32_t) ? side->data : nullptr;
#else
    size_t size = 0;
    const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (size < 9 * sizeof(int32_t)) matrix = nullptr;
#endif
    if (!matrix) return 0;
    // The matrix rotates counter-clockwise by this angle; undoing it means
    // turning the picture clockwise by the same amount.
    const double angle = -av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    if (std::isnan(angle)) return 0;
    const long quarter = std::lround(angle / 90.0);
    return static_cast<int>(((quarter % 4) + 4) % 4) * 90;
}

}  // namespace

bool Demuxer::open(const std::string& path, std::string* error) {
    close();
    // Opening a pipe or a device would hold this thread until a writer came,
    // perhaps for ever, and with it a quit that joins the thread. A clip is a
    // regular file; a missing one is left to the opening's own message.
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        *error = "not a video file";
        return false;
    }
    AVFormatContext* format = avformat_alloc_context();
    if (!format) {
        *error = "out of memory";
        return false;
    }
    format->interrupt_callback = {&Demuxer::interruptCallback, this};
    int result = avformat_open_input(&format, path.c_str(), nullptr, nullptr);
    if (result < 0) {  // avformat_open_input frees the context on failure
        // No demuxer recognised the bytes (a text file, a document).
        *error = result == AVERROR_INVALIDDATA ? "not a video file" : describe(result);
        return false;
    }
    format_ = format;

    // Containers with a full header (MP4, MOV, MKV) describe the stream
    // already; probing decodes frames and would cost the clip start time.
    const int guess = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const bool described = guess >= 0 && format_->streams[guess]->codecpar->width > 0 &&
                           format_->streams[guess]->codecpar->codec_id != AV_CODEC_ID_NONE;
    if (!described || (format_->ctx_flags & AVFMTCTX_NOHEADER)) {
        result = avformat_find_stream_info(format_, nullptr);
        if (result < 0 && format_->nb_streams == 0) {
            *error = describe(result);
            close();
            return false;
        }
    }

    int index = -1;
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        AVStream* s = format_->streams[i];
        // A cover picture of a song is not a clip.
        const bool video = s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
                           !(s->disposition & AV_DISPOSITION_ATTACHED_PIC);
        if (video && index < 0) index = static_cast<int>(i);
    }
    if (index >= 0) {
        const int best = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (best >= 0 && !(format_->streams[best]->disposition & AV_DISPOSITION_ATTACHED_PIC))
            index = best;
    }
    if (index < 0) {
        *error = "not a video file";  // sound only, or a song with its cover
        close();
        return false;
    }
    for (unsigned i = 0; i < format_->nb_streams; ++i)
        format_->streams[i]->discard =
            static_cast<int>(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    stream_ = format_->streams[index];
    rotation_ = rotationOf(stream_);
    return true;
}

void Demuxer::close() {
    if (format_) avformat_close_input(&format_);
    format_ = nullptr;
    stream_ = nullptr;
    rotation_ = 0;
}

int Demuxer::read(AVPacket* packet) {
    for (;;) {
        const int result = av_read_frame(format_, packet);
        if (result == AVERROR_EXIT) return result;
        if (result == AVERROR(EAGAIN)) continue;
        if (result < 0) return AVERROR_EOF;
        if (packet->stream_index == stream_->index) return 0;
        av_packet_unref(packet);
    }
}

bool Demuxer::seekToStart() {
    if (!format_) return false;
    const int64_t start = stream_->start_time != AV_NOPTS_VALUE ? stream_->start_time : 0;
    if (avformat_seek_file(format_, stream_->index, INT64_MIN, start, start, 0) >= 0) return true;
    return av_seek_frame(format_, stream_->index, start, AVSEEK_FLAG_BACKWARD) >= 0;
}

bool Demuxer::seekTo(double seconds) {
    if (!format_) return false;
    const int64_t start = stream_->start_time != AV_NOPTS_VALUE ? stream_->start_time : 0;
    const int64_t target = start + av_rescale_q(static_cast<int64_t>(seconds * AV_TIME_BASE),
                                                AV_TIME_BASE_Q, stream_->time_base);
    return avformat_seek_file(format_, stream_->index, INT64_MIN, target, target, 0) >= 0;
}

double Demuxer::durationEstimate() const {
    if (!stream_) return -1;
    if (stream_->duration > 0 && stream_->duration != AV_NOPTS_VALUE)
        return static_cast<double>(stream_->duration) * av_q2d(stream_->time_base);
    if (format_->duration > 0 && format_->duration != AV_NOPTS_VALUE)
        return static_cast<double>(format_->duration) / AV_TIME_BASE;
    return -1;
}

int64_t Demuxer::nominalFrameTicks() const {
    AVRational rate = stream_->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = stream_->r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = {25, 1};
    const int64_t ticks = av_rescale_q(1, av_inv_q(rate), stream_->time_base);
    return ticks > 0 ? ticks : 1;
}

}  // namespace cliploop
