#include "pipewiresource/PipeWirePublisher.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>

#include "sharing/FrameRegion.h"

namespace cliploop {

namespace {

// How often a missing or lost daemon is looked for again.
constexpr int64_t kRetryNanoseconds = 1'000'000'000;
constexpr uint32_t kNominalFramerate = 30;
constexpr uint32_t kMaxFramerate = 240;
// How soon a picture that found no free buffer is tried again.
constexpr int64_t kResendNanoseconds = 4'000'000;
// How long after the last picture went out one more cycle is run for it.
// Each new picture pushes it back, so while pictures keep coming (anything
// from 10 frames a second up) it never runs: their own cycles carry any
// picture left behind, and the consumer wakes once per picture, not twice.
constexpr int64_t kFlushNanoseconds = 100'000'000;

int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

void notice(const std::string& line) {
    const std::string text = "cliploop: " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// One picture to carry: a region of a surface, or an all-zero picture.
struct Picture {
    std::shared_ptr<Surface> surface;  // null: all zero
    int32_t x = 0, y = 0;              // the region's first pixel in the surface's memory
    int32_t width = 0, height = 0;
    bool flipped = false;  // set: rows top-down in memory; clear: bottom-up
    int64_t publishedNs = 0;
    uint64_t number = 0;

    bool samePicture(const Picture& other) const {
        return surface == other.surface && x == other.x && y == other.y && width == other.width &&
               height == other.height && flipped == other.flipped;
    }
};

class Publisher final : public PipeWirePublisher {
  public:
    Publisher(std::string name, std::shared_ptr<GraphicsContext> context)
        : name_(std::move(name)), nodeName_("cliploop." + name_), context_(std::move(context)) {}

    ~Publisher() override {
        if (!loop_) return;
        pw_thread_loop_stop(loop_);  // joins the thread: what follows runs alone
        disconnect();
        if (pwContext_) pw_context_destroy(pwContext_);
        pw_thread_loop_destroy(loop_);
    }

    bool start() {
        static std::once_flag initialised;
        std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
        loop_ = pw_thread_loop_new("cliploop-pipewire", nullptr);
        if (!loop_) return false;
        pw_loop* loop = pw_thread_loop_get_loop(loop_);
        wake_ = pw_loop_add_event(loop, &Publisher::onWake, this);
        retry_ = pw_loop_add_timer(loop, &Publisher::onRetry, this);
        resend_ = pw_loop_add_timer(loop, &Publisher::onResend, this);
        flush_ = pw_loop_add_timer(loop, &Publisher::onFlush, this);
        if (!wake_ || !retry_ || !resend_ || !flush_) return false;
        // The first attempt runs on the publisher's thread as soon as it starts.
        armRetry(1);
        return pw_thread_loop_start(loop_) == 0;
    }

    void publishFrameTexture(uint32_t texture, uint32_t target, FrameRect region,
                             FrameSize dimensions, bool flipped) override {
        const auto width = frameregion::pixelsOf(dimensions.width);
        const auto height = frameregion::pixelsOf(dimensions.height);
        if (target != gl::kTextureRectangle || !width || !height) return;
        if (!std::isfinite(region.x) || !std::isfinite(region.y) || !std::isfinite(region.width) ||
            !std::isfinite(region.height))
            return;

        Picture picture;
        picture.flipped = flipped;
        const auto image = context_ ? context_->textureImage(texture) : std::nullopt;
        if (image && image->surface) {
            // The region, clipped to the texture's image, as the frame server clips it.
            const auto columns = frameregion::clipSpan(region.x, region.width, image->width);
            const auto rows = frameregion::clipSpan(region.y, region.height, image->height);
            if (!columns || !rows) return;
            picture.surface = image->surface;
            picture.x = columns->start;
            picture.y = rows->start;
            picture.width = columns->length;
            picture.height = rows->length;
        } else {
            picture.width = *width;
            picture.height = *height;
        }
        picture.number = frameCount_.fetch_add(1, std::memory_order_relaxed) + 1;
        picture.publishedNs = monotonicNanoseconds();
        {
            std::lock_guard lock(slotMutex_);
            // While the last picture is held here its surface cannot be
            // handed to the decoder again, so the same surface means the
            // same pixels.
            if (lastPublished_.number != 0 && picture.samePicture(lastPublished_)) return;
            lastPublished_ = picture;
            pending_ = std::move(picture);
        }
        pw_loop_signal_event(pw_thread_loop_get_loop(loop_), wake_);
    }

    const std::string& nodeName() const override { return nodeName_; }
    bool streaming() const override { return streaming_.load(); }
    uint64_t frameCount() const override { return frameCount_.load(); }
    uint64_t copiedFrameCount() const override { return copied_.load(); }

  private:
    // --- On the publisher's thread ----------------------------------------

    void arm(spa_source* timer, int64_t nanoseconds) {
        timespec value{static_cast<time_t>(nanoseconds / 1'000'000'000),
                       static_cast<long>(nanoseconds % 1'000'000'000)};
        pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer, &value, nullptr, false);
    }
    void armRetry(int64_t nanoseconds) { arm(retry_, nanoseconds); }

    static void onResend(void* data, uint64_t) { static_cast<Publisher*>(data)->send(); }

    // A cycle asked for while the consumer's side was still being set up
    // (just linked, or a new format) can pass it by, leaving the picture
    // queued here; one more cycle a little later carries it.
    static void onFlush(void* data, uint64_t) {
        auto* self = static_cast<Publisher*>(data);
        if (self->stream_ && !self->lost_ && pw_stream_is_driving(self->stream_))
            pw_stream_trigger_process(self->stream_);
    }

    static void onRetry(void* data, uint64_t) {
        auto* self = static_cast<Publisher*>(data);
        if (self->lost_) {
            self->disconnect();
            self->lost_ = false;
        }
        if (!self->core_) self->connect();
    }

    static void onWake(void* data, uint64_t) {
        auto* self = static_cast<Publisher*>(data);
        {
            std::lock_guard lock(self->slotMutex_);
            if (self->pending_) {
                self->current_ = std::move(*self->pending_);
                self->pending_.reset();
                self->unsent_ = true;
            }
        }
        self->send();
    }

    void connect() {
        if (!pwContext_) {
            pwContext_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
            if (!pwContext_) {
                armRetry(kRetryNanoseconds);
                return;
            }
        }
        core_ = pw_context_connect(pwContext_, nullptr, 0);
        if (!core_) {
            if (!toldAbsent_ && !toldLost_)
                notice("no PipeWire for this user: frames go to \"" + name_ + "\" only");
            toldAbsent_ = true;
            armRetry(kRetryNanoseconds);
            return;
        }
        static const pw_core_events coreEvents = [] {
            pw_core_events events{};
            events.version = PW_VERSION_CORE_EVENTS;
            events.error = &Publisher::onCoreError;
            return events;
        }();
        pw_core_add_listener(core_, &coreListener_, &coreEvents, this);

        pw_properties* properties = pw_properties_new(
            PW_KEY_NODE_NAME, nodeName_.c_str(), PW_KEY_NODE_DESCRIPTION,
            ("cliploop " + name_).c_str(), PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_ROLE,
            "Camera", PW_KEY_MEDIA_SOFTWARE, "cliploop", PW_KEY_MEDIA_TYPE, "Video",
            PW_KEY_MEDIA_CATEGORY, "Capture", nullptr);
        stream_ = pw_stream_new(core_, nodeName_.c_str(), properties);
        if (!stream_) {
            lost_ = true;
            armRetry(kRetryNanoseconds);
            return;
        }
        static const pw_stream_events streamEvents = [] {
            pw_stream_events events{};
            events.version = PW_VERSION_STREAM_EVENTS;
            events.state_changed = &Publisher::onStateChanged;
            events.param_changed = &Publisher::onParamChanged;
            events.process = &Publisher::onProcess;
            events.add_buffer = &Publisher::onAddBuffer;
            return events;
        }();
        pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);

        offeredWidth_ = current_.width > 0 ? current_.width : 512;
        offeredHeight_ = current_.height > 0 ? current_.height : 512;
        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[] = {formatsAt(&builder, offeredWidth_, offeredHeight_)};
        const int result = pw_stream_connect(
            stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
            params, 1);
        if (result < 0) {
            lost_ = true;
            armRetry(kRetryNanoseconds);
            return;
        }
        if (toldAbsent_ || toldLost_)
            notice("PipeWire is there: frames go to \"" + name_ + "\" and to the node " +
                   nodeName_);
        toldAbsent_ = toldLost_ = false;
    }

    // Tears down what a lost daemon left; only ever from the retry timer,
    // never inside a callback of the objects it destroys.
    void disconnect() {
        streaming_ = false;
        negotiated_ = false;
        if (stream_) {
            spa_hook_remove(&streamListener_);
            pw_stream_destroy(stream_);
            stream_ = nullptr;
        }
        if (core_) {
            spa_hook_remove(&coreListener_);
            pw_core_disconnect(core_);
            core_ = nullptr;
        }
    }

    void markLost() {
        if (lost_) return;
        lost_ = true;
        streaming_ = false;
        if (!toldLost_) notice("lost PipeWire: the node " + nodeName_ + " comes back with it");
        toldLost_ = true;
        armRetry(kRetryNanoseconds / 4);
    }

    static void onCoreError(void* data, uint32_t id, int, int res, const char* message) {
        auto* self = static_cast<Publisher*>(data);
        if (id == PW_ID_CORE && res == -EPIPE) {
            self->markLost();
        } else if (id == PW_ID_CORE) {
            notice(std::string("PipeWire: ") + (message ? message : spa_strerror(res)));
        }
    }

    static void onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                               const char* error) {
        auto* self = static_cast<Publisher*>(data);
        self->streaming_ = state == PW_STREAM_STATE_STREAMING;
        if (state == PW_STREAM_STATE_ERROR) {
            notice("PipeWire node " + self->nodeName_ + ": " + (error ? error : "error"));
            self->markLost();
        } else if (state == PW_STREAM_STATE_UNCONNECTED) {
            self->markLost();
        } else if (state == PW_STREAM_STATE_STREAMING) {
            // A consumer that links now gets the picture at once.
            self->unsent_ = true;
            self->send();
        }
    }

    static void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
        auto* self = static_cast<Publisher*>(data);
        if (id != SPA_PARAM_Format) return;
        self->negotiated_ = false;
        if (!param) return;
        spa_video_info_raw info{};
        uint32_t mediaType = 0, mediaSubtype = 0;
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
            mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
            spa_format_video_raw_parse(param, &info) < 0)
            return;
        self->formatWidth_ = static_cast<int32_t>(info.size.width);
        self->formatHeight_ = static_cast<int32_t>(info.size.height);
        self->negotiated_ = true;
        const int32_t stride = self->formatWidth_ * 4;
        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[2];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
            SPA_PARAM_BUFFERS_size, SPA_POD_Int(stride * self->formatHeight_),
            SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
        params[1] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                                       SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
                                       SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        pw_stream_update_params(self->stream_, params, 2);
        self->unsent_ = true;
    }

    // A buffer may have come back, or the graph asks for data.
    static void onProcess(void* data) { static_cast<Publisher*>(data)->send(); }

    // Buffers of a newly agreed format: the picture goes out once they are
    // all there, after this callback.
    static void onAddBuffer(void* data, pw_buffer*) {
        auto* self = static_cast<Publisher*>(data);
        pw_loop_signal_event(pw_thread_loop_get_loop(self->loop_), self->wake_);
    }

    // The formats offered: BGRx and BGRA at one size.
    static const spa_pod* formatsAt(spa_pod_builder* builder, int32_t width, int32_t height) {
        const spa_rectangle size{static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
        // Frames come as the clip plays them. Consumers that need a nominal
        // rate (encoders, OBS) get one; those that take any get "variable".
        const spa_fraction nominal{kNominalFramerate, 1}, variable{0, 1}, highest{kMaxFramerate, 1};
        return static_cast<const spa_pod*>(spa_pod_builder_add_object(
            builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                                   SPA_VIDEO_FORMAT_BGRA),
            SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
            SPA_POD_CHOICE_RANGE_Fraction(&nominal, &variable, &highest)));
    }

    // Offers the formats at the current picture's size when it changed; the
    // consumer then agrees a format again.
    void renegotiate() {
        offeredWidth_ = current_.width;
        offeredHeight_ = current_.height;
        negotiated_ = false;
        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[] = {formatsAt(&builder, offeredWidth_, offeredHeight_)};
        pw_stream_update_params(stream_, params, 1);
    }

    // Copies the current picture into a free buffer and queues it, if it has
    // not gone out yet and a consumer is there to take it.
    void send() {
        if (!stream_ || lost_ || !unsent_ || current_.width == 0) return;
        if (current_.width != offeredWidth_ || current_.height != offeredHeight_) {
            renegotiate();
            return;
        }
        if (!streaming_ || !negotiated_) return;
        if (formatWidth_ != current_.width || formatHeight_ != current_.height) {
            // The consumer agreed on an earlier offer while this one was on its way.
            renegotiate();
            return;
        }
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
        if (!buffer) {
            // The consumer holds them all, or new ones are not ready yet: the
            // newest picture waits, and is tried again shortly.
            arm(resend_, kResendNanoseconds);
            return;
        }
        spa_buffer* spaBuffer = buffer->buffer;
        spa_data& plane = spaBuffer->datas[0];
        const uint32_t stride = static_cast<uint32_t>(current_.width) * 4;
        const uint32_t bytes = stride * static_cast<uint32_t>(current_.height);
        if (!plane.data || plane.maxsize < bytes) {
            plane.chunk->size = 0;
            pw_stream_queue_buffer(stream_, buffer);
            return;
        }
        copyPicture(current_, static_cast<uint8_t*>(plane.data), stride);
        plane.chunk->offset = 0;
        plane.chunk->size = bytes;
        plane.chunk->stride = static_cast<int32_t>(stride);
        plane.chunk->flags = SPA_CHUNK_FLAG_NONE;
        if (auto* header = static_cast<spa_meta_header*>(
                spa_buffer_find_meta_data(spaBuffer, SPA_META_Header, sizeof(spa_meta_header)))) {
            header->flags = 0;
            header->offset = 0;
            header->pts = current_.publishedNs;
            header->dts_offset = 0;
            header->seq = current_.number;
        }
        pw_stream_queue_buffer(stream_, buffer);
        unsent_ = false;
        copied_.fetch_add(1, std::memory_order_relaxed);
        if (pw_stream_is_driving(stream_)) {
            pw_stream_trigger_process(stream_);
            arm(flush_, kFlushNanoseconds);
        }
    }

    // Upright, whichever way the surface's rows run.
    static void copyPicture(const Picture& picture, uint8_t* out, uint32_t stride) {
        const size_t rowBytes = static_cast<size_t>(picture.width) * 4;
        if (!picture.surface) {
            std::memset(out, 0, stride * static_cast<size_t>(picture.height));
            return;
        }
        const Surface& surface = *picture.surface;
        for (int32_t row = 0; row < picture.height; ++row) {
            const int32_t memoryRow =
                picture.flipped ? picture.y + row : picture.y + picture.height - 1 - row;
            const uint8_t* in = surface.data() +
                                static_cast<size_t>(memoryRow) * size_t(surface.bytesPerRow()) +
                                static_cast<size_t>(picture.x) * 4;
            std::memcpy(out + static_cast<size_t>(row) * stride, in, rowBytes);
        }
    }

    const std::string name_, nodeName_;
    const std::shared_ptr<GraphicsContext> context_;
    std::atomic<uint64_t> frameCount_{0}, copied_{0};
    std::atomic<bool> streaming_{false};

    // Set up before the thread starts, unchanged after.
    pw_thread_loop* loop_ = nullptr;
    spa_source* wake_ = nullptr;
    spa_source* retry_ = nullptr;
    spa_source* resend_ = nullptr;
    spa_source* flush_ = nullptr;

    // Between the publishing threads and the publisher's thread.
    std::mutex slotMutex_;
    Picture lastPublished_;           // what the last publication showed
    std::optional<Picture> pending_;  // newest picture not taken by the thread yet

    // The publisher's thread alone.
    pw_context* pwContext_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_hook coreListener_{}, streamListener_{};
    Picture current_;  // the picture the node shows
    bool unsent_ = false;
    bool lost_ = false;
    bool negotiated_ = false;
    bool toldAbsent_ = false, toldLost_ = false;
    int32_t offeredWidth_ = 0, offeredHeight_ = 0;
    int32_t formatWidth_ = 0, formatHeight_ = 0;
};

}  // namespace

std::shared_ptr<PipeWirePublisher> PipeWirePublisher::create(
    const std::string& name, std::shared_ptr<GraphicsContext> context) {
    auto publisher = std::make_shared<Publisher>(name, std::move(context));
    if (!publisher->start()) return nullptr;
    return publisher;
}

}  // namespace cliploop
