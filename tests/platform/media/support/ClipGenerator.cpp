#include "ClipGenerator.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswscale/swscale.h>
}

namespace cliploop::testing {

namespace {

// Throws what failed, for clip() to report.
int check(int result, const std::string& what) {
    if (result >= 0) return result;
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(result, text, sizeof text);
    throw std::runtime_error(what + ": " + text);
}

// The picture in RGB24, converted to the encoder's format afterwards.
void drawPattern(std::vector<uint8_t>& rgb, int width, int height, int number, Pattern pattern) {
    rgb.assign(static_cast<size_t>(width) * height * 3, 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool light = pattern == Pattern::Quadrant
                                   ? x < width / 2 && y < height / 2
                                   : y < height / 2 && ((number >> (7 - x * 8 / width)) & 1);
            uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            p[0] = p[1] = p[2] = light ? 235 : 16;
            if (!light && y >= height / 2) {
                // A noisy dark blue lower half: frames of realistic size, so
                // that a cut file loses frames, not just its index.
                const uint32_t h =
                    ((static_cast<uint32_t>(number) * 7919u + y) * 104729u + x) * 2654435761u;
                p[2] = static_cast<uint8_t>(80 + (h >> 25));
            }
        }
    }
}

// One output file and the encoders of its streams.
struct Writer {
    struct Track {
        AVCodecContext* codec = nullptr;
        AVStream* stream = nullptr;
    };
    AVFormatContext* format = nullptr;
    Track video, audio;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();

    ~Writer() {
        avcodec_free_context(&video.codec);
        avcodec_free_context(&audio.codec);
        if (format && !(format->oformat->flags & AVFMT_NOFILE)) avio_closep(&format->pb);
        avformat_free_context(format);
        av_packet_free(&packet);
        av_frame_free(&frame);
    }

    void open(Track& t, const std::string& name, const std::function<void(AVCodecContext*)>& set) {
        const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
        check(codec ? 0 : AVERROR_ENCODER_NOT_FOUND, name);
        t.codec = avcodec_alloc_context3(codec);
        set(t.codec);
        if (format->oformat->flags & AVFMT_GLOBALHEADER)
            t.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        check(avcodec_open2(t.codec, codec, nullptr), "open " + name);
        t.stream = avformat_new_stream(format, nullptr);
        avcodec_parameters_from_context(t.stream->codecpar, t.codec);
        t.stream->time_base = t.codec->time_base;
    }

    // Encodes `frame` (or, with `end`, flushes) and writes the packets out.
    void send(Track& t, bool end = false) {
        check(avcodec_send_frame(t.codec, end ? nullptr : frame), "encode");
        av_frame_unref(frame);
        for (;;) {
            const int r = avcodec_receive_packet(t.codec, packet);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
            check(r, "encode");
            av_packet_rescale_ts(packet, t.codec->time_base, t.stream->time_base);
            packet->stream_index = t.stream->index;
            check(av_interleaved_write_frame(format, packet), "write");
        }
    }
};

void writeClip(const std::string& path, const ClipRecipe& recipe) {
    av_log_set_level(AV_LOG_ERROR);
    Writer w;
    check(avformat_alloc_output_context2(&w.format, nullptr, nullptr, path.c_str()), "container");
    const bool variable = !recipe.ticks.empty();
    if (!recipe.codec.empty()) {
        w.open(w.video, recipe.codec, [&](AVCodecContext* c) {
            c->width = recipe.width;
            c->height = recipe.height;
            c->pix_fmt = recipe.pixelFormat;
            c->time_base = variable ? AVRational{1, 90000} : AVRational{1, recipe.fps};
            c->framerate = {recipe.fps, 1};
            c->gop_size = 12;
            c->max_b_frames = c->codec->capabilities & AV_CODEC_CAP_DELAY ? 2 : 0;
            if (recipe.codec == "libx264") {
                av_opt_set(c->priv_data, "preset", "veryfast", 0);
                av_opt_set(c->priv_data, "crf", "12", 0);
            } else {
                c->global_quality = FF_QP2LAMBDA * 3;
                c->flags |= AV_CODEC_FLAG_QSCALE;
            }
        });
        w.video.stream->avg_frame_rate = {recipe.fps, 1};
        // A matrix that turns the picture clockwise, as a player shows it.
        if (recipe.displayRotation)
            av_display_rotation_set(reinterpret_cast<int32_t*>(av_stream_new_side_data(
                                        w.video.stream, AV_PKT_DATA_DISPLAYMATRIX, 36)),
                                    recipe.displayRotation);
    }
    if (recipe.withAudio) {
        w.open(w.audio, "aac", [](AVCodecContext* c) {
            c->sample_rate = 48000;
            c->sample_fmt = AV_SAMPLE_FMT_FLTP;
            av_channel_layout_default(&c->ch_layout, 2);
            c->time_base = {1, 48000};
        });
    }
    AVDictionary* options = nullptr;
    if (recipe.faststart) av_dict_set(&options, "movflags", "+faststart", 0);
    if (!(w.format->oformat->flags & AVFMT_NOFILE))
        check(avio_open(&w.format->pb, path.c_str(), AVIO_FLAG_WRITE), "open file");
    const int r = avformat_write_header(w.format, &options);
    av_dict_free(&options);
    check(r, "write header");

    if (w.video.codec) {
        const std::unique_ptr<SwsContext, void (*)(SwsContext*)> sws(
            sws_getContext(recipe.width, recipe.height, AV_PIX_FMT_RGB24, recipe.width,
                           recipe.height, recipe.pixelFormat, SWS_POINT, nullptr, nullptr, nullptr),
            sws_freeContext);
        check(sws ? 0 : AVERROR(EINVAL), "conversion");
        std::vector<uint8_t> rgb;
        for (int i = 0; i < recipe.frames; ++i) {
            w.frame->width = recipe.width;
            w.frame->height = recipe.height;
            w.frame->format = recipe.pixelFormat;
            check(av_frame_get_buffer(w.frame, 0), "frame");
            drawPattern(rgb, recipe.width, recipe.height, i, recipe.pattern);
            const uint8_t* source[1] = {rgb.data()};
            const int sourceStride[1] = {recipe.width * 3};
            sws_scale(sws.get(), source, sourceStride, 0, recipe.height, w.frame->data,
                      w.frame->linesize);
            w.frame->pts = variable ? recipe.ticks[static_cast<size_t>(i)] : i;
            w.send(w.video);
        }
        w.send(w.video, true);
    }
    if (w.audio.codec) {  // silence as long as the frames
        const int64_t samples = int64_t{recipe.frames} * 48000 / recipe.fps;
        for (int64_t done = 0; done < samples; done += w.audio.codec->frame_size) {
            w.frame->nb_samples = w.audio.codec->frame_size;
            w.frame->format = w.audio.codec->sample_fmt;
            av_channel_layout_copy(&w.frame->ch_layout, &w.audio.codec->ch_layout);
            check(av_frame_get_buffer(w.frame, 0), "audio frame");
            av_samples_set_silence(w.frame->data, 0, w.frame->nb_samples, 2, AV_SAMPLE_FMT_FLTP);
            w.frame->pts = done;
            w.send(w.audio);
        }
        w.send(w.audio, true);
    }
    check(av_write_trailer(w.format), "trailer");
}

}  // namespace

std::string testPath(const std::string& name) {
    static const struct Dir {
        std::string path = std::filesystem::temp_directory_path() / "cliploop-media-XXXXXX";
        Dir() { mkdtemp(path.data()); }
        ~Dir() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } dir;
    return dir.path + "/" + name;
}

std::string clip(const std::string& name, const ClipRecipe& recipe) {
    const std::string path = testPath(name);
    try {
        if (!std::filesystem::exists(path)) writeClip(path, recipe);
    } catch (const std::exception& e) {
        ADD_FAILURE() << name << ": " << e.what();
    }
    return path;
}

bool isLight(const PixelBuffer& frame, int x, int y) {
    const uint8_t* p = frame.baseAddress() + static_cast<size_t>(y) * frame.bytesPerRow() + x * 4;
    return p[1] > 128;  // green, in B G R A order
}

int readFrameNumber(const PixelBuffer& frame) {
    int number = 0;
    for (int bit = 0; bit < 8; ++bit)
        number =
            number * 2 + isLight(frame, (2 * bit + 1) * frame.width() / 16, frame.height() / 4);
    return number;
}

}  // namespace cliploop::testing
