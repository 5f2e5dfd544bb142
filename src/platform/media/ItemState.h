#pragma once
// The engine side of one player item: a decode thread that opens the file,
// demuxes, decodes (frame-threaded) and converts frames into pooled surfaces
// a few frames ahead of the item's clock, plus that clock.
//
// Threads: the decode thread is the only one touching libav state. Every
// public method may be called from any thread; none waits for I/O or
// decoding (takeNextFrame waits only as long as its timeout). The decode
// thread sleeps while the ring is full and while every surface is held, and
// is woken by the change it waits for, by a seek and by a stop.
//
// Private to the engine: the public face of an item is PlayerItem; engine
// code reaches an item's state through ItemAccess.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "media/FrameRing.h"
#include "media/MediaEngine.h"
#include "media/PlaybackClock.h"

namespace cliploop {

class ItemState {
  public:
    explicit ItemState(std::string path);
    ~ItemState();  // stops and joins the decode thread
    ItemState(const ItemState&) = delete;
    ItemState& operator=(const ItemState&) = delete;

    void start();
    // Asks the decode thread to end (aborting a blocking read) without
    // waiting for it; join() waits.
    void requestStop();
    void join();

    // --- The player's side. Host times in seconds.
    // Called (never under the item's lock) when readiness, the known end or
    // the clock changes, so the player can re-plan the item's end.
    void setListener(std::function<void()> listener);
    // The item plays from its resume position (its start after a seek) from
    // `anchorHost` on, or from the moment its first frame is ready if later.
    void becomeCurrent(double anchorHost, double rate);
    // Stops the clock; the item keeps its position for the next time.
    void resignCurrent(double host);
    void setRate(double host, double rate);
    bool isCurrent() const;
    // The host time at which the current item runs out, once its end is
    // known and until that end has been reported.
    std::optional<double> runOutHostTime() const;
    // The host time at which the current item's clock reaches its known end,
    // reported or not.
    std::optional<double> endHostTime() const;
    void markEndReported();

    // --- Consumers (outputs, picture sources).
    // Item time at `host`; invalid unless the item is current.
    MediaTime itemTime(double host) const;
    struct Pick {
        PixelBufferRef buffer;
        int64_t serial = -1;
    };
    // The newest frame that starts at or before `time`, if any.
    Pick frameAt(MediaTime time, bool take);
    // Back to the first frame: frames decoded so far are dropped.
    void seekToStart();

    MediaTime duration() const;
    bool failed() const;
    std::string failureReason() const;
    // True once the first frame since the last seek is decoded (or opening failed).
    bool isReady() const;
    // Calls `handler` once, on the decode thread, when isReady() or failed()
    // first holds; at once on the caller's thread when one already does.
    void notifyWhenReady(std::function<void()> handler);
    // True once the pass since the last seek has no more frames to give.
    bool isExhausted() const;
    ItemStats stats() const;
    size_t surfaceCount() const;
    size_t surfaceCapacity() const;

    // For tools and benchmarks that read an item without a player: the next
    // decoded frame in order, waiting at most `timeout`. Sets `*ended` when
    // the item has no more frames (its end, or failure).
    PixelBufferRef takeNextFrame(std::chrono::milliseconds timeout, bool* ended);

  private:
    struct Decoding;
    struct Timing;
    // The decode thread's steps, in the order a frame passes them.
    void run();
    bool open(Decoding& d);
    bool restart(Decoding& d);
    void drain(Decoding& d);
    std::optional<Timing> retime(Decoding& d);
    std::shared_ptr<Surface> reserve(Decoding& d, const Timing& t);
    void publish(Decoding& d, const Timing& t, std::shared_ptr<Surface> surface);

    bool waitForRoomLocked(std::unique_lock<std::mutex>& lock, int64_t generation);
    bool isStale(int64_t generation) const;
    void fail(std::string reason);
    void notifyListener();
    size_t aheadLimitLocked() const;
    double endLocked() const;
    void trimByClockLocked(double host);

    const std::string path_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::once_flag joinOnce_;

    mutable std::mutex mutex_;
    std::function<void()> listener_;
    std::vector<std::function<void()>> readyHandlers_;
    PlaybackClock clock_;
    double resumePosition_ = 0;
    bool endReported_ = false;
    FrameRing ring_;
    // A waiting item fills its whole ring, so that after a loop turn the
    // decoder has the ring's length of time to catch up before a frame is due.
    size_t primeFrames_ = 6;
    std::unique_ptr<SurfacePool> pool_;
    // Written under the lock; atomic so that a decode thread asleep in the
    // surface pool can tell a seek without it.
    std::atomic<int64_t> seekGeneration_{0};
    int64_t nextSerial_ = 0;
    bool ready_ = false;
    bool drained_ = false;  // the current run has no more frames
    bool failed_ = false;
    std::string failureReason_;
    bool durationKnown_ = false;  // the end was seen; duration_ is exact
    double duration_ = 0;
    double durationEstimate_ = -1;
    bool pullMode_ = false;
    int64_t lastUnderrunSerial_ = -1;
    ItemStats stats_;
};

// The engine's way from a PlayerItem to its state.
struct ItemAccess {
    static ItemState& of(const PlayerItem& item) { return *item.state_; }
};

}  // namespace cliploop
