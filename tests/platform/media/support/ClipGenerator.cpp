#include "ClipGenerator.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace cliploop::testing {

namespace {

std::string describe(const char* what, int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return std::string(what) + ": " + text;
}

// The picture in RGB24, then converted to the encoder's format.
void drawPattern(std::vector<uint8_t>& rgb, int width, int height, int number, Pattern pattern) {
    rgb.assign(static_cast<size_t>(width) * height * 3, 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            bool light;
            if (pattern == Pattern::Quadrant) {
                light = x < width / 2 && y < height / 2;
            } else {
                const int bit = 7 - x * 8 / width;
                light = y < height / 2 ? ((number >> bit) & 1) != 0 : false;
            }
            uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            p[0] = p[1] = p[2] = light ? 235 : 16;
            if (!light && y >= height / 2) {
                // A noisy dark blue lower half: frames of realistic size, so
                // that a cut file loses frames, not just its index.
                const uint32_t h =
                    ((static_cast<uint32_t>(number) * 7919u + static_cast<uint32_t>(y)) * 104729u +
                     static_cast<uint32_t>(x)) *
                    2654435761u;
                p[2] = static_cast<uint8_t>(80 + (h >> 25));
            }
        }
    }
}

struct Writer {
    AVFormatContext* format = nullptr;
    AVCodecContext* video = nullptr;
    AVCodecContext* audio = nullptr;
    AVStream* videoStream = nullptr;
    AVStream* audioStream = nullptr;
    AVPacket* packet = av_packet_alloc();

    ~Writer() {
        avcodec_free_context(&video);
        avcodec_free_context(&audio);
        if (format && !(format->oformat->flags & AVFMT_NOFILE)) avio_closep(&format->pb);
        avformat_free_context(format);
        av_packet_free(&packet);
    }

    std::string drain(AVCodecContext* codec, AVStream* stream) {
        for (;;) {
            const int r = avcodec_receive_packet(codec, packet);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return "";
            if (r < 0) return describe("encode", r);
            av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            const int w = av_interleaved_write_frame(format, packet);
            if (w < 0) return describe("write", w);
        }
    }
};

std::string addAudio(Writer& w) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) return "no AAC encoder";
    w.audio = avcodec_alloc_context3(codec);
    w.audio->sample_rate = 48000;
    w.audio->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&w.audio->ch_layout, 2);
    w.audio->bit_rate = 64000;
    w.audio->time_base = {1, 48000};
    if (w.format->oformat->flags & AVFMT_GLOBALHEADER)
        w.audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int r = avcodec_open2(w.audio, codec, nullptr);
    if (r < 0) return describe("open audio encoder", r);
    w.audioStream = avformat_new_stream(w.format, nullptr);
    avcodec_parameters_from_context(w.audioStream->codecpar, w.audio);
    w.audioStream->time_base = w.audio->time_base;
    return "";
}

// Writes `seconds` of silence.
std::string writeSilence(Writer& w, double seconds) {
    AVFrame* frame = av_frame_alloc();
    std::string error;
    const int total = static_cast<int>(seconds * w.audio->sample_rate);
    for (int64_t done = 0; done < total && error.empty(); done += w.audio->frame_size) {
        frame->nb_samples = w.audio->frame_size;
        frame->format = w.audio->sample_fmt;
        av_channel_layout_copy(&frame->ch_layout, &w.audio->ch_layout);
        if (av_frame_get_buffer(frame, 0) < 0) error = "audio frame";
        for (int c = 0; c < 2 && error.empty(); ++c)
            std::fill_n(reinterpret_cast<float*>(frame->data[c]), frame->nb_samples, 0.f);
        frame->pts = done;
        if (error.empty() && avcodec_send_frame(w.audio, frame) < 0) error = "audio send";
        if (error.empty()) error = w.drain(w.audio, w.audioStream);
        av_frame_unref(frame);
    }
    if (error.empty()) {
        avcodec_send_frame(w.audio, nullptr);
        error = w.drain(w.audio, w.audioStream);
    }
    av_frame_free(&frame);
    return error;
}

std::string openFile(Writer& w, const std::string& path, bool faststart) {
    AVDictionary* options = nullptr;
    if (faststart) av_dict_set(&options, "movflags", "+faststart", 0);
    int r = 0;
    if (!(w.format->oformat->flags & AVFMT_NOFILE))
        r = avio_open(&w.format->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (r >= 0) r = avformat_write_header(w.format, &options);
    av_dict_free(&options);
    return r < 0 ? describe("write header", r) : "";
}

}  // namespace

std::string writeClip(const std::string& path, const ClipSpec& spec) {
    av_log_set_level(AV_LOG_ERROR);
    Writer w;
    int r = avformat_alloc_output_context2(&w.format, nullptr, nullptr, path.c_str());
    if (r < 0) return describe("container", r);
    const AVCodec* codec = avcodec_find_encoder_by_name(spec.codec.c_str());
    if (!codec) return "no encoder " + spec.codec;
    const bool variable = !spec.ticks.empty();
    w.video = avcodec_alloc_context3(codec);
    w.video->width = spec.width;
    w.video->height = spec.height;
    w.video->pix_fmt = spec.pixelFormat;
    w.video->time_base = variable ? AVRational{1, 90000} : AVRational{1, spec.fps};
    w.video->framerate = {spec.fps, 1};
    w.video->gop_size = 12;
    w.video->max_b_frames = codec->capabilities & AV_CODEC_CAP_DELAY ? 2 : 0;
    if (spec.codec == "libx264") {
        av_opt_set(w.video->priv_data, "preset", "veryfast", 0);
        av_opt_set(w.video->priv_data, "crf", "12", 0);
    } else {
        w.video->global_quality = FF_QP2LAMBDA * 3;
        w.video->flags |= AV_CODEC_FLAG_QSCALE;
    }
    if (w.format->oformat->flags & AVFMT_GLOBALHEADER)
        w.video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    r = avcodec_open2(w.video, codec, nullptr);
    if (r < 0) return describe("open video encoder", r);
    w.videoStream = avformat_new_stream(w.format, nullptr);
    avcodec_parameters_from_context(w.videoStream->codecpar, w.video);
    w.videoStream->time_base = w.video->time_base;
    w.videoStream->avg_frame_rate = {spec.fps, 1};
    if (spec.displayRotation) {
        auto* matrix = reinterpret_cast<int32_t*>(
            av_stream_new_side_data(w.videoStream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t)));
        // A matrix that turns the picture clockwise, as a player shows it.
        av_display_rotation_set(matrix, spec.displayRotation);
    }
    if (spec.withAudio) {
        const std::string error = addAudio(w);
        if (!error.empty()) return error;
    }
    std::string error = openFile(w, path, spec.faststart);
    if (!error.empty()) return error;

    std::vector<uint8_t> rgb;
    SwsContext* sws =
        sws_getContext(spec.width, spec.height, AV_PIX_FMT_RGB24, spec.width, spec.height,
                       spec.pixelFormat, SWS_POINT, nullptr, nullptr, nullptr);
    if (!sws) return "no conversion to the encoder's format";
    AVFrame* frame = av_frame_alloc();
    for (int i = 0; i < spec.frames && error.empty(); ++i) {
        frame->width = spec.width;
        frame->height = spec.height;
        frame->format = spec.pixelFormat;
        if (av_frame_get_buffer(frame, 0) < 0) {
            error = "frame buffer";
            break;
        }
        drawPattern(rgb, spec.width, spec.height, i, spec.pattern);
        const uint8_t* source[1] = {rgb.data()};
        const int sourceStride[1] = {spec.width * 3};
        sws_scale(sws, source, sourceStride, 0, spec.height, frame->data, frame->linesize);
        frame->pts = variable ? spec.ticks[static_cast<size_t>(i)] : i;
        r = avcodec_send_frame(w.video, frame);
        if (r < 0) error = describe("send frame", r);
        if (error.empty()) error = w.drain(w.video, w.videoStream);
        av_frame_unref(frame);
    }
    av_frame_free(&frame);
    sws_freeContext(sws);
    if (error.empty()) {
        avcodec_send_frame(w.video, nullptr);
        error = w.drain(w.video, w.videoStream);
    }
    if (error.empty() && spec.withAudio)
        error = writeSilence(w, static_cast<double>(spec.frames) / spec.fps);
    if (error.empty()) {
        r = av_write_trailer(w.format);
        if (r < 0) error = describe("trailer", r);
    }
    return error;
}

std::string writeAudioOnly(const std::string& path) {
    av_log_set_level(AV_LOG_ERROR);
    Writer w;
    int r = avformat_alloc_output_context2(&w.format, nullptr, nullptr, path.c_str());
    if (r < 0) return describe("container", r);
    std::string error = addAudio(w);
    if (error.empty()) error = openFile(w, path, false);
    if (error.empty()) error = writeSilence(w, 0.5);
    if (error.empty() && av_write_trailer(w.format) < 0) error = "trailer";
    return error;
}

std::string writeStillImage(const std::string& path, const std::string& codecName, int width,
                            int height, int number) {
    const AVCodec* codec = avcodec_find_encoder_by_name(codecName.c_str());
    if (!codec) return "no encoder " + codecName;
    const AVPixelFormat format = codecName == "png" ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_YUVJ420P;
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->width = width;
    context->height = height;
    context->pix_fmt = format;
    context->time_base = {1, 25};
    std::string error;
    if (avcodec_open2(context, codec, nullptr) < 0) error = "open image encoder";
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    std::vector<uint8_t> rgb;
    if (error.empty()) {
        frame->width = width;
        frame->height = height;
        frame->format = format;
        av_frame_get_buffer(frame, 0);
        drawPattern(rgb, width, height, number, Pattern::FrameNumber);
        SwsContext* sws = sws_getContext(width, height, AV_PIX_FMT_RGB24, width, height, format,
                                         SWS_POINT, nullptr, nullptr, nullptr);
        const uint8_t* source[1] = {rgb.data()};
        const int sourceStride[1] = {width * 3};
        sws_scale(sws, source, sourceStride, 0, height, frame->data, frame->linesize);
        sws_freeContext(sws);
        frame->pts = 0;
        if (avcodec_send_frame(context, frame) < 0 || avcodec_send_frame(context, nullptr) < 0 ||
            avcodec_receive_packet(context, packet) < 0)
            error = "encode image";
    }
    if (error.empty()) {
        // A PNG or JPEG packet is a whole file.
        FILE* file = std::fopen(path.c_str(), "wb");
        if (!file ||
            std::fwrite(packet->data, 1, packet->size, file) != static_cast<size_t>(packet->size))
            error = "write image";
        if (file) std::fclose(file);
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return error;
}

bool isLight(const PixelBuffer& frame, int x, int y) {
    const uint8_t* p = frame.baseAddress() + static_cast<size_t>(y) * frame.bytesPerRow() + x * 4;
    return p[1] > 128;  // green, in B G R A order
}

int readFrameNumber(const PixelBuffer& frame) {
    int number = 0;
    for (int bit = 0; bit < 8; ++bit) {
        const int x = (2 * bit + 1) * frame.width() / 16;
        number = number * 2 + (isLight(frame, x, frame.height() / 4) ? 1 : 0);
    }
    return number;
}

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "cliploop-media-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace cliploop::testing
