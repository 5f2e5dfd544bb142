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
constexpr auto kPoolRetry = std::chrono::milliseconds(2);
constexpr int32_t kClockTimescale = 1'000'000'000;

}  // namespace

// What the decode thread knows about the pass through the file it is making.
struct ItemState::DecodeRun {
    int64_t generation = 0;
    bool drained = false;
    int64_t frames = 0;  // frames at or after the start, decoded in this run
    int64_t lastTicks = 0;
    int64_t lastDurationTicks = 0;
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
    changed_.notify_all();
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

void ItemState::wake() {
    std::function<void()> listener;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
    }
    if (listener) listener();
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

void ItemState::runReadyHandlers() {
    std::vector<std::function<void()>> handlers;
    {
        std::lock_guard lock(mutex_);
        handlers.swap(readyHandlers_);
    }
    for (const auto& handler : handlers) handler();
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
        changed_.notify_all();
    }
}

void ItemState::resignCurrent(double host) {
    std::lock_guard lock(mutex_);
    if (!clock_.running) return;
    resumePosition_ = clock_.itemTime(host, endLocked());
    clock_.running = false;
    clock_.waiting = false;
    changed_.notify_all();
}

void ItemState::setRate(double host, double rate) {
    std::lock_guard lock(mutex_);
    if (!clock_.running) return;
    clock_.rebase(host, rate, endLocked());
    changed_.notify_all();
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
    if (dropped) changed_.notify_all();
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
        ++seekGeneration_;
        ring_.clear();
        ready_ = failed_;
        drained_ = false;
        resumePosition_ = 0;
        endReported_ = false;
        if (clock_.running) {
            clock_.anchorItem = 0;
            clock_.anchorHost = hostTime();
            clock_.waiting = !ready_;
        }
        changed_.notify_all();
    }
    wake();
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
        changed_.notify_all();
    }
    changed_.wait_for(lock, timeout, [&] { return !ring_.empty() || drained_ || failed_; });
    *ended = ring_.empty() && (drained_ || failed_);
    if (ring_.empty()) return nullptr;
    DecodedFrame frame = ring_.takeFront();
    changed_.notify_all();
    return frame.buffer;
}

void ItemState::fail(std::string reason) {
    {
        std::lock_guard lock(mutex_);
        failed_ = true;
        failureReason_ = std::move(reason);
        changed_.notify_all();
    }
    wake();
    runReadyHandlers();
}

void ItemState::trimByClockLocked(double host) {
    if (!clock_.running || clock_.waiting || pullMode_) return;
    const double now = clock_.itemTime(host, endLocked());
    size_t dropped = 0;
    ring_.newestAtOrBefore(MediaTime::fromSeconds(now, kClockTimescale), &dropped);
    stats_.droppedUnseen += static_cast<int64_t>(dropped);
}

void ItemState::run() {
    quietenMediaLibraries();
    Demuxer demuxer([this] { return stopping_.load(std::memory_order_relaxed); });
    VideoDecoder decoder;
    FrameConverter converter;
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); });
    std::string error;
    if (!frame) return fail("out of memory");
    if (!demuxer.open(path_, &error) || !decoder.open(demuxer.stream(), &error)) {
        if (!stopping_) fail(error);
        return;
    }
    converter.setRotation(demuxer.rotation());
    const AVRational timeBase = demuxer.stream()->time_base;
    const int64_t nominalTicks = demuxer.nominalFrameTicks();
    const auto seconds = [&](int64_t ticks) {
        return static_cast<double>(ticks) * av_q2d(timeBase);
    };
    const auto mediaTime = [&](int64_t ticks) {
        if (timeBase.num == 1) return MediaTime{ticks, timeBase.den};
        return MediaTime{av_rescale_q(ticks, timeBase, {1, 90000}), 90000};
    };
    {
        std::lock_guard lock(mutex_);
        durationEstimate_ = demuxer.durationEstimate();
    }

    bool haveOrigin = false;
    int64_t origin = 0;
    DecodeRun run;
    while (!stopping_) {
        {
            std::unique_lock lock(mutex_);
            if (run.generation != seekGeneration_) {
                run = DecodeRun{};
                run.generation = seekGeneration_;
                lock.unlock();
                if (!demuxer.seekToStart()) {
                    // Formats without seeking (pipes of images, some raw
                    // streams) start over by opening the file again.
                    if (!demuxer.open(path_, &error) || !decoder.open(demuxer.stream(), &error)) {
                        // Gone (deleted, unreadable): nothing more to play.
                        lock.lock();
                        if (run.generation == seekGeneration_) drained_ = true;
                        run.drained = true;
                        continue;
                    }
                } else {
                    decoder.flush();
                }
                continue;
            }
            if (run.drained) {
                changed_.wait(lock, [&] { return stopping_ || run.generation != seekGeneration_; });
                continue;
            }
        }

        const int received = decoder.receive(demuxer, frame.get());
        if (received == AVERROR_EXIT) break;
        if (received < 0) {
            run.drained = true;
            if (stats().decoded == 0 && !stopping_) {
                // Opened, but not one frame came out of it: it never plays.
                fail("no video frame could be decoded");
                continue;
            }
            {
                std::lock_guard lock(mutex_);
                if (run.generation != seekGeneration_) continue;
                drained_ = true;
                if (run.frames > 0) {
                    double end = seconds(run.lastTicks + run.lastDurationTicks);
                    if (run.frames == 1) end = std::max(end, kSingleFrameSeconds);
                    duration_ = end;
                    durationKnown_ = true;
                    if (!ring_.empty()) ring_.back().end = end;
                }
                changed_.notify_all();
            }
            wake();
            continue;
        }

        // Item time of this frame, in stream ticks from the first frame.
        const int64_t pts = frame->best_effort_timestamp;
        if (!haveOrigin) {
            origin = pts == AV_NOPTS_VALUE ? 0 : pts;
            haveOrigin = true;
        }
        int64_t ticks =
            pts == AV_NOPTS_VALUE ? run.lastTicks + run.lastDurationTicks : pts - origin;
        if (ticks < 0) {  // before the start: the seek landed on an earlier key frame
            av_frame_unref(frame.get());
            continue;
        }
        // Timestamps must rise for "newest frame at or before" to mean
        // anything; broken files repeat them.
        if (run.frames > 0 && ticks <= run.lastTicks)
            ticks = run.lastTicks + std::max<int64_t>(1, run.lastDurationTicks);
        const int64_t durationTicks = frame->pkt_duration > 0 ? frame->pkt_duration : nominalTicks;
        run.lastTicks = ticks;
        run.lastDurationTicks = durationTicks;
        ++run.frames;
        const double start = seconds(ticks);
        const double end = seconds(ticks + durationTicks);
        const int width = converter.outputWidth(*frame);
        const int height = converter.outputHeight(*frame);

        std::shared_ptr<Surface> surface;
        {
            std::unique_lock lock(mutex_);
            if (!ring_.empty() && ring_.back().serial == nextSerial_ - 1) ring_.back().end = start;
            if (!pool_) {
                const size_t frameBytes =
                    static_cast<size_t>(std::max(width, 1)) * std::max(height, 1) * 4;
                ring_.setCapacity(
                    std::clamp(kRingBytes / frameBytes, kMinRingFrames, kMaxRingFrames));
                pool_ = std::make_unique<SurfacePool>(ring_.capacity() + kHeldSurfaces);
            }
            // A frame whose time passed more than a frame ago is not worth
            // converting: skip it to stay on the clock (never the first one
            // of a run, which the item needs to start).
            if (run.frames > 1 && clock_.running && !clock_.waiting && !pullMode_ &&
                end + (end - start) < clock_.itemTime(hostTime(), endLocked())) {
                ++stats_.skippedLate;
                av_frame_unref(frame.get());
                continue;
            }
            // Room in the ring, and a surface nobody holds.
            for (;;) {
                if (stopping_ || run.generation != seekGeneration_) break;
                const double host = hostTime();
                trimByClockLocked(host);
                if (ring_.size() < aheadLimitLocked()) {
                    surface = pool_->acquire(width, height);
                    if (surface) break;
                    changed_.wait_for(lock, kPoolRetry);
                    continue;
                }
                // Full: wake when the clock makes the oldest frame stale.
                std::optional<double> due;
                if (ring_.size() >= 2 && !pullMode_) due = clock_.hostTimeAt(ring_.at(1).start);
                if (due) {
                    const auto wait = std::chrono::duration<double>(std::max(0.0, *due - host));
                    changed_.wait_for(lock, wait + std::chrono::microseconds(100));
                } else {
                    changed_.wait(lock);
                }
            }
            if (!surface) {
                av_frame_unref(frame.get());
                continue;
            }
        }

        const bool converted = converter.convert(*frame, *surface);
        av_frame_unref(frame.get());
        if (!converted) continue;

        bool first = false;
        {
            std::lock_guard lock(mutex_);
            if (run.generation != seekGeneration_) continue;
            DecodedFrame decoded;
            decoded.buffer = std::make_shared<PixelBuffer>(std::move(surface), mediaTime(ticks));
            decoded.time = decoded.buffer->presentationTime();
            decoded.start = start;
            decoded.end = end;
            decoded.serial = nextSerial_++;
            ring_.push(std::move(decoded));
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
            changed_.notify_all();
        }
        if (first) {
            wake();
            runReadyHandlers();
        }
    }
}

}  // namespace cliploop
