#include "media/FrameConverter.h"

#include <algorithm>

#include "media/PictureTurn.h"
#include "media/SwsFormat.h"
#include "surface/Surface.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace cliploop {

namespace {

void noFree(void*, uint8_t*) {}

}  // namespace

FrameConverter::~FrameConverter() {
    sws_freeContext(sws_);
}

int FrameConverter::outputWidth(const AVFrame& frame) const {
    return rotation_ % 180 ? frame.height : frame.width;
}

int FrameConverter::outputHeight(const AVFrame& frame) const {
    return rotation_ % 180 ? frame.width : frame.height;
}

bool FrameConverter::prepare(const AVFrame& frame) {
    bool fullRange = frame.color_range == AVCOL_RANGE_JPEG;
    const AVPixelFormat format = plainFormat(static_cast<AVPixelFormat>(frame.format), &fullRange);
    const int space = swsColorspace(frame.colorspace);
    if (sws_ && swsWidth_ == frame.width && swsHeight_ == frame.height && swsFormat_ == format &&
        swsSpace_ == space && swsRange_ == static_cast<int>(fullRange))
        return true;
    sws_freeContext(sws_);
    sws_ = sws_alloc_context();
    if (!sws_) return false;
    av_opt_set_int(sws_, "srcw", frame.width, 0);
    av_opt_set_int(sws_, "srch", frame.height, 0);
    av_opt_set_int(sws_, "src_format", format, 0);
    av_opt_set_int(sws_, "dstw", frame.width, 0);
    av_opt_set_int(sws_, "dsth", frame.height, 0);
    av_opt_set_int(sws_, "dst_format", AV_PIX_FMT_BGRA, 0);
    av_opt_set_int(sws_, "sws_flags", SWS_BICUBIC, 0);
    // One thread: the decoder's frame threads already keep every core busy,
    // and slice threads for the conversion cost hand-offs, not time.
    av_opt_set_int(sws_, "threads", 1, 0);
    if (sws_init_context(sws_, nullptr, nullptr) < 0) {
        sws_freeContext(sws_);
        sws_ = nullptr;
        return false;
    }
    sws_setColorspaceDetails(sws_, sws_getCoefficients(space), fullRange ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    swsWidth_ = frame.width;
    swsHeight_ = frame.height;
    swsFormat_ = format;
    swsSpace_ = space;
    swsRange_ = fullRange;
    return true;
}

bool FrameConverter::scale(const AVFrame& frame, uint8_t* data, int bytesPerRow, size_t byteSize) {
    // sws_scale_frame writes into a frame whose buffer is our memory, not one
    // it allocates.
    AVFrame* source = av_frame_alloc();
    AVFrame* target = av_frame_alloc();
    bool ok = source && target && av_frame_ref(source, &frame) >= 0;
    if (ok) {
        bool fullRange = false;
        source->format = plainFormat(static_cast<AVPixelFormat>(frame.format), &fullRange);
        target->buf[0] = av_buffer_create(data, byteSize, noFree, nullptr, 0);
        target->data[0] = data;
        target->linesize[0] = bytesPerRow;
        target->width = frame.width;
        target->height = frame.height;
        target->format = AV_PIX_FMT_BGRA;
        ok = target->buf[0] && sws_scale_frame(sws_, target, source) >= 0;
    }
    av_frame_free(&source);
    av_frame_free(&target);
    return ok;
}

bool FrameConverter::convert(const AVFrame& frame, Surface& surface) {
    if (frame.width <= 0 || frame.height <= 0 || !prepare(frame)) return false;
    if (surface.width() != outputWidth(frame) || surface.height() != outputHeight(frame))
        return false;
    if (rotation_ == 0)
        return scale(frame, surface.data(), surface.bytesPerRow(), surface.byteSize());

    const int w = frame.width, h = frame.height;
    const int stride = w * 4;
    turnBuffer_.resize(static_cast<size_t>(stride) * h);
    if (!scale(frame, turnBuffer_.data(), stride, turnBuffer_.size())) return false;
    turnPicture(turnBuffer_.data(), w, h, stride, surface.data(), surface.bytesPerRow(), rotation_);
    return true;
}

}  // namespace cliploop
