#include "media/ItemState.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "foundation/HostClock.h"
#include "media/Demuxer.h"
#include "media/FrameConverter.h"
#include "media/VideoDecoder.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/version.h>
}

namespace cliploop {

namespace {

// Decoded frames kept ahead of the clock: enough to ride out a slow frame,
// bounded in bytes so that large frames do not take gigabytes.
constexpr size_t kRingBytes = size_t{128} << 20;
constexpr size_t kMinRingFrames = 2;
constexpr size_t kMaxRingFrames = 6;
// Surfaces that others may hold on top of the ring: the frame being used by
// the frame pump, the texture bound to a surface, the frame server's last
// frame, the pictures shown by two views, and one in conversion.
constexpr size_t kHeldSurfaces = 6;
// A clip of a single frame (a still image) is shown this long per loop turn,
// so that looping it does not re-decode the picture dozens of times a second.
constexpr double kSingleFrameSeconds = 1.0;
// A full ring is looked at again this long after its second frame is due.
constexpr auto kDueSlack = std::chrono::microseconds(100);
constexpr int32_t kClockTimescale = 1'000'000'000;

int64_t packetDuration(const AVFrame& frame) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
    return frame.duration;
#else
    return frame.pkt_duration;
#endif
}

}  // namespace

// What only the decode thread touches: the libav objects and the pass through
// the file it is making.
struct ItemState::Decoding {
    explicit Decoding(std::function<bool()> interrupted) : demuxer(std::move(interrupted)) {}
    Demuxer demuxer;
    VideoDecoder decoder;
    FrameConverter converter;
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame{av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); }};
    AVRational timeBase{1, 1};
    int64_t nominalTicks = 0;
    bool haveOrigin = false;
    int64_t origin = 0;  // the first frame's timestamp: item time zero

    struct Pass {
        int64_t generation = 0;
        bool drained = false;
        int64_t frames = 0;  // frames at or after the start, decoded in this pass
        int64_t lastTicks = 0;
        int64_t lastDurationTicks = 0;
    } pass;

    double seconds(int64_t ticks) const { return static_cast<double>(ticks) * av_q2d(timeBase); }
    MediaTime mediaTime(int64_t ticks) const {
        if (timeBase.num == 1) return MediaTime{ticks, timeBase.den};
        return MediaTime{av_rescale_q(ticks, timeBase, {1, 90000}), 90000};
    }
};

// Where the decoded frame sits in item time.
struct ItemState::Timing {
    int64_t ticks = 0;
    double start = 0;
    double end = 0;
};

ItemState::ItemState(std::string path) : path_(std::move(path)) {}

ItemState::~ItemState() {
    requestStop();
    join();
}

void ItemState::start() {
    thread_ = std::thread([this] { run(); });
}

void ItemState::requestStop() {
    stopping_.store(true);
    std::lock_guard lock(mutex_);
    ring_.wake();
    if (pool_) pool_->wake();
}

void ItemState::join() {
    std::call_once(joinOnce_, [this] {
        if (!thread_.joinable()) return;
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();  // dropped by its own thread; it ends by itself
        else
            thread_.join();
    });
}

void ItemState::setListener(std::function<void()> listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

void ItemState::notifyListener() {
    std::function<void()> listener;
    std::vector<std::function<void()>> readyHandlers;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
        // Readiness is told once, whichever way it came: the first frame,
        // or the end of any hope of one.
        if (ready_ || failed_) readyHandlers.swap(readyHandlers_);
    }
    if (listener) listener();
    for (const auto& handler : readyHandlers) handler();
}

void ItemState::notifyWhenReady(std::function<void()> handler) {
    if (!handler) return;
    {
        std::lock_guard lock(mutex_);
        if (!ready_ && !failed_) {
            readyHandlers_.push_back(std::move(handler));
            return;
        }
    }
    handler();
}

double ItemState::endLocked() const {
    return durationKnown_ ? duration_ : std::numeric_limits<double>::infinity();
}

size_t ItemState::aheadLimitLocked() const {
    return pullMode_ || clock_.running ? ring_.capacity()
                                       : std::min(primeFrames_, ring_.capacity());
}

void ItemState::becomeCurrent(double anchorHost, double rate) {
    {
        std::lock_guard lock(mutex_);
        clock_.running = true;
        clock_.waiting = !ready_;
        clock_.anchorHost = anchorHost;
        clock_.anchorItem = std::min(resumePosition_, endLocked());
        clock_.rate = rate;
        endReported_ = false;
        ring_.wake();
    }
}

void ItemState::resignCurrent(double host) {
    std::lock_guard lock(mutex_);
    if (!clock_.running) return;
    resumePosition_ = clock_.itemTime(host, endLocked());
    clock_.running = false;
    clock_.waiting = false;
    ring_.wake();
}

void ItemState::setRate(double host, double rate) {
    std::lock_guard lock(mutex_);
    if (!clock_.running) return;
    clock_.rebase(host, rate, endLocked());
    ring_.wake();
}

bool ItemState::isCurrent() const {
    std::lock_guard lock(mutex_);
    return clock_.running;
}

std::optional<double> ItemState::runOutHostTime() const {
    std::lock_guard lock(mutex_);
    if (!clock_.running || endReported_ || !durationKnown_) return std::nullopt;
    return clock_.hostTimeAt(duration_);
}

std::optional<double> ItemState::endHostTime() const {
    std::lock_guard lock(mutex_);
    if (!clock_.running || !durationKnown_) return std::nullopt;
    return clock_.hostTimeAt(duration_);
}

void ItemState::markEndReported() {
    std::lock_guard lock(mutex_);
    endReported_ = true;
}

MediaTime ItemState::itemTime(double host) const {
    std::lock_guard lock(mutex_);
    if (!clock_.running) return MediaTime::invalid();
    return MediaTime::fromSeconds(clock_.itemTime(host, endLocked()), kClockTimescale);
}

ItemState::Pick ItemState::frameAt(MediaTime time, bool take) {
    std::lock_guard lock(mutex_);
    if (!time.isValid()) return {};
    size_t dropped = 0;
    DecodedFrame* frame = ring_.newestAtOrBefore(time, &dropped);
    stats_.droppedUnseen += static_cast<int64_t>(dropped);
    if (!frame) return {};
    if (ring_.size() == 1 && !drained_ && frame->end < time.seconds() &&
        lastUnderrunSerial_ != frame->serial) {
        ++stats_.underruns;
        lastUnderrunSerial_ = frame->serial;
    }
    if (take) frame->delivered = true;
    return {frame->buffer, frame->serial};
}

void ItemState::seekToStart() {
    {
        std::lock_guard lock(mutex_);
        seekGeneration_.fetch_add(1);
        ring_.clear();
        if (pool_) pool_->wake();
        ready_ = failed_;
        drained_ = false;
        resumePosition_ = 0;
        endReported_ = false;
        if (clock_.running) {
            clock_.anchorItem = 0;
            clock_.anchorHost = hostTime();
            clock_.waiting = !ready_;
        }
    }
    notifyListener();
}

MediaTime ItemState::duration() const {
    std::lock_guard lock(mutex_);
    if (durationKnown_) return MediaTime::fromSeconds(duration_);
    if (durationEstimate_ > 0) return MediaTime::fromSeconds(durationEstimate_);
    return MediaTime::invalid();
}

bool ItemState::failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

std::string ItemState::failureReason() const {
    std::lock_guard lock(mutex_);
    return failureReason_;
}

bool ItemState::isReady() const {
    std::lock_guard lock(mutex_);
    return ready_;
}

bool ItemState::isExhausted() const {
    std::lock_guard lock(mutex_);
    return drained_;
}

ItemStats ItemState::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

size_t ItemState::surfaceCount() const {
    std::lock_guard lock(mutex_);
    return pool_ ? pool_->liveCount() : 0;
}

size_t ItemState::surfaceCapacity() const {
    std::lock_guard lock(mutex_);
    return ring_.capacity() + kHeldSurfaces;
}

PixelBufferRef ItemState::takeNextFrame(std::chrono::milliseconds timeout, bool* ended) {
    std::unique_lock lock(mutex_);
    if (!pullMode_) {
        pullMode_ = true;
        ring_.wake();
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (ring_.empty() && !drained_ && !failed_ && ring_.waitForChange(lock, deadline)) {
    }
    *ended = ring_.empty() && (drained_ || failed_);
    if (ring_.empty()) return nullptr;
    return ring_.takeFront().buffer;
}

void ItemState::fail(std::string reason) {
    {
        std::lock_guard lock(mutex_);
        failed_ = true;
        failureReason_ = std::move(reason);
        ring_.wake();
    }
    notifyListener();
}

void ItemState::trimByClockLocked(double host) {
    if (!clock_.running || clock_.waiting || pullMode_) return;
    const double now = clock_.itemTime(host, endLocked());
    size_t dropped = 0;
    ring_.newestAtOrBefore(MediaTime::fromSeconds(now, kClockTimescale), &dropped);
    stats_.droppedUnseen += static_cast<int64_t>(dropped);
}

bool ItemState::isStale(int64_t generation) const {
    return stopping_.load() || generation != seekGeneration_.load();
}

// Frames go through the steps in turn: restart (a seek, or the wait after
// the last frame of a pass), drain (the end of a pass), retime (item time),
// reserve (a place in the ring and a surface), publish (into the ring).
void ItemState::run() {
    quietenMediaLibraries();
    Decoding d([this] { return stopping_.load(std::memory_order_relaxed); });
    if (!open(d)) return;
    while (!stopping_) {
        if (restart(d)) continue;
        const int received = d.decoder.receive(d.demuxer, d.frame.get());
        if (received == AVERROR_EXIT) break;
        if (received < 0) {
            drain(d);
            continue;
        }
        const std::optional<Timing> timing = retime(d);
        std::shared_ptr<Surface> surface = timing ? reserve(d, *timing) : nullptr;
        const bool converted = surface && d.converter.convert(*d.frame, *surface);
        av_frame_unref(d.frame.get());
        if (converted) publish(d, *timing, std::move(surface));
    }
}

bool ItemState::open(Decoding& d) {
    std::string error;
    if (!d.frame) {
        fail("out of memory");
        return false;
    }
    if (!d.demuxer.open(path_, &error) || !d.decoder.open(d.demuxer.stream(), &error)) {
        if (!stopping_) fail(error);
        return false;
    }
    d.converter.setRotation(d.demuxer.rotation());
    d.timeBase = d.demuxer.stream()->time_base;
    d.nominalTicks = d.demuxer.nominalFrameTicks();
    std::lock_guard lock(mutex_);
    durationEstimate_ = d.demuxer.durationEstimate();
    return true;
}

// Starts a new pass after a seek; after the last frame of a pass, sleeps
// until the next seek. True when it did either (the loop looks again).
bool ItemState::restart(Decoding& d) {
    std::unique_lock lock(mutex_);
    if (d.pass.generation == seekGeneration_) {
        if (!d.pass.drained) return false;
        while (!isStale(d.pass.generation)) ring_.waitForChange(lock);
        return true;
    }
    d.pass = Decoding::Pass{};
    d.pass.generation = seekGeneration_;
    lock.unlock();
    if (d.demuxer.seekToStart()) {
        d.decoder.flush();
        return true;
    }
    // Formats without seeking (pipes of images, some raw streams) start over
    // by opening the file again.
    std::string error;
    if (d.demuxer.open(path_, &error) && d.decoder.open(d.demuxer.stream(), &error)) return true;
    // Gone (deleted, unreadable): nothing more to play.
    drain(d);
    return true;
}

// The pass has no more frames: the item's end is now exact.
void ItemState::drain(Decoding& d) {
    d.pass.drained = true;
    {
        std::lock_guard lock(mutex_);
        if (d.pass.generation != seekGeneration_) return;
        drained_ = true;
        if (d.pass.frames > 0) {
            double end = d.seconds(d.pass.lastTicks + d.pass.lastDurationTicks);
            if (d.pass.frames == 1) end = std::max(end, kSingleFrameSeconds);
            duration_ = end;
            durationKnown_ = true;
            if (!ring_.empty()) ring_.back().end = end;
        }
        // A file that opens but whose frames all fail to decode or convert
        // is as unplayable as one that does not open.
        if (stats_.decoded == 0 && !failed_) {
            failed_ = true;
            failureReason_ = "no video frame could be decoded";
        }
        ring_.wake();
    }
    notifyListener();
}

// The frame's item time, in stream ticks from the first frame; none for a
// frame before the start (a seek lands on the key frame before it).
std::optional<ItemState::Timing> ItemState::retime(Decoding& d) {
    auto& pass = d.pass;
    const int64_t pts = d.frame->best_effort_timestamp;
    if (!d.haveOrigin) {
        d.origin = pts == AV_NOPTS_VALUE ? 0 : pts;
        d.haveOrigin = true;
    }
    int64_t ticks =
        pts == AV_NOPTS_VALUE ? pass.lastTicks + pass.lastDurationTicks : pts - d.origin;
    if (ticks < 0) return std::nullopt;
    // Timestamps must rise for "newest frame at or before" to mean anything;
    // broken files repeat them.
    if (pass.frames > 0 && ticks <= pass.lastTicks)
        ticks = pass.lastTicks + std::max<int64_t>(1, pass.lastDurationTicks);
    const int64_t packetTicks = packetDuration(*d.frame);
    const int64_t durationTicks = packetTicks > 0 ? packetTicks : d.nominalTicks;
    pass.lastTicks = ticks;
    pass.lastDurationTicks = durationTicks;
    ++pass.frames;
    return Timing{ticks, d.seconds(ticks), d.seconds(ticks + durationTicks)};
}

// A place in the ring and a surface nobody holds, for a frame worth showing;
// nullptr for a frame to skip (late, or overtaken by a seek or a stop).
std::shared_ptr<Surface> ItemState::reserve(Decoding& d, const Timing& t) {
    const int width = d.converter.outputWidth(*d.frame);
    const int height = d.converter.outputHeight(*d.frame);
    const int64_t generation = d.pass.generation;
    SurfacePool* pool = nullptr;
    {
        std::unique_lock lock(mutex_);
        if (!ring_.empty() && ring_.back().serial == nextSerial_ - 1) ring_.back().end = t.start;
        if (!pool_) {
            const size_t frameBytes =
                static_cast<size_t>(std::max(width, 1)) * std::max(height, 1) * 4;
            ring_.setCapacity(std::clamp(kRingBytes / frameBytes, kMinRingFrames, kMaxRingFrames));
            pool_ = std::make_unique<SurfacePool>(ring_.capacity() + kHeldSurfaces);
        }
        // A frame whose time passed more than a frame ago is not worth
        // converting: skip it to stay on the clock (never the first one of a
        // pass, which the item needs to start).
        if (d.pass.frames > 1 && clock_.running && !clock_.waiting && !pullMode_ &&
            t.end + (t.end - t.start) < clock_.itemTime(hostTime(), endLocked())) {
            ++stats_.skippedLate;
            return nullptr;
        }
        if (!waitForRoomLocked(lock, generation)) return nullptr;
        pool = pool_.get();  // made once, kept until the item goes
    }
    // Sleeps until a holder lets a surface go; a seek or a stop wakes it.
    return pool->acquireWaiting(width, height, [this, generation] { return isStale(generation); });
}

// Sleeps while the ring holds as many frames ahead as the item wants: until
// a consumer takes or passes one, the clock makes the oldest stale, or the
// clock, a seek or a stop changes what is wanted. False when overtaken.
bool ItemState::waitForRoomLocked(std::unique_lock<std::mutex>& lock, int64_t generation) {
    for (;;) {
        if (isStale(generation)) return false;
        const double host = hostTime();
        trimByClockLocked(host);
        if (ring_.size() < aheadLimitLocked()) return true;
        std::optional<double> due;
        if (ring_.size() >= 2 && !pullMode_) due = clock_.hostTimeAt(ring_.at(1).start);
        if (!due) {
            ring_.waitForChange(lock);
            continue;
        }
        const auto wait = std::chrono::duration<double>(std::max(0.0, *due - host));
        ring_.waitForChange(lock, std::chrono::steady_clock::now() +
                                      std::chrono::duration_cast<std::chrono::nanoseconds>(wait) +
                                      kDueSlack);
    }
}

void ItemState::publish(Decoding& d, const Timing& t, std::shared_ptr<Surface> surface) {
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        if (d.pass.generation != seekGeneration_) return;
        DecodedFrame decoded;
        decoded.buffer = std::make_shared<PixelBuffer>(std::move(surface), d.mediaTime(t.ticks));
        decoded.time = decoded.buffer->presentationTime();
        decoded.start = t.start;
        decoded.end = t.end;
        decoded.serial = nextSerial_;
        // Only this thread pushes, after reserve() found room.
        if (!ring_.push(std::move(decoded))) return;
        ++nextSerial_;
        ++stats_.decoded;
        if (!ready_) {
            first = true;
            ready_ = true;
            if (clock_.running && clock_.waiting) {
                // The clock waited for this frame: start now.
                clock_.waiting = false;
                clock_.anchorHost = std::max(clock_.anchorHost, hostTime());
            }
        }
    }
    if (first) notifyListener();
}

}  // namespace cliploop
