#include "media/VideoDecoder.h"

#include "media/Demuxer.h"

namespace cliploop {

namespace {
// A stream whose packets keep failing is garbage, not a clip; give up on it
// rather than spin through a large broken file.
constexpr int kMaxFailuresInARow = 256;
}  // namespace

VideoDecoder::VideoDecoder() : packet_(av_packet_alloc()) {}

VideoDecoder::~VideoDecoder() {
    close();
    av_packet_free(&packet_);
}

bool VideoDecoder::open(const AVStream* stream, std::string* error) {
    close();
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
        *error = "no decoder for the video format";
        return false;
    }
    context_ = avcodec_alloc_context3(codec);
    if (!context_ || !packet_ || avcodec_parameters_to_context(context_, stream->codecpar) < 0) {
        *error = "out of memory";
        close();
        return false;
    }
    context_->pkt_timebase = stream->time_base;
    // All cores, frame and slice threads: the decode thread itself then only
    // feeds packets and converts finished frames.
    context_->thread_count = 0;
    context_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    const int result = avcodec_open2(context_, codec, nullptr);
    if (result < 0) {
        *error = "the video decoder does not accept this stream";
        close();
        return false;
    }
    draining_ = false;
    failuresInARow_ = 0;
    return true;
}

void VideoDecoder::close() {
    avcodec_free_context(&context_);
    draining_ = false;
}

int VideoDecoder::receive(Demuxer& demuxer, AVFrame* frame) {
    if (!context_) return AVERROR_EOF;
    for (;;) {
        const int received = avcodec_receive_frame(context_, frame);
        if (received == 0) {
            failuresInARow_ = 0;
            return 0;
        }
        if (received == AVERROR_EOF) return AVERROR_EOF;
        if (received != AVERROR(EAGAIN)) {
            // A frame that failed to decode; later frames may still be fine.
            if (++failuresInARow_ > kMaxFailuresInARow) return AVERROR_EOF;
            continue;
        }
        if (draining_) return AVERROR_EOF;
        const int read = demuxer.read(packet_);
        if (read == AVERROR_EXIT) return read;
        if (read < 0) {
            avcodec_send_packet(context_, nullptr);
            draining_ = true;
            continue;
        }
        const int sent = avcodec_send_packet(context_, packet_);
        av_packet_unref(packet_);
        if (sent < 0 && sent != AVERROR(EAGAIN) && ++failuresInARow_ > kMaxFailuresInARow) {
            avcodec_send_packet(context_, nullptr);
            draining_ = true;
        }
    }
}

void VideoDecoder::flush() {
    if (!context_) return;
    avcodec_flush_buffers(context_);
    draining_ = false;
    failuresInARow_ = 0;
}

}  // namespace cliploop
