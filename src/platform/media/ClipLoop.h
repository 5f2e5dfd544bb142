#pragma once
// One clip played in an endless loop: two player items of one asset take
// turns in a queue player. Whenever an item starts playing (at the clip start
// and at each turn) a fresh video output is made, stored in the output slot
// that the frame pump reads, and attached to that item; the output it replaces
// is detached, so outputs never pile up on the items.
//
// Threads and ownership: the loop shares the player and writes the slot it is
// given, which must outlive it; the pump reads the slot on its own thread.
// start() runs on one thread at a time (the application's main thread); turn()
// runs on the thread that posts the end of an item, the engine's playback
// thread. A turn and a start never overlap: each holds the loop's lock for all
// of its steps. Once the destructor returns, no turn is under way and none
// begins.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "foundation/AtomicSharedPtr.h"
#include "foundation/FileUrl.h"
#include "foundation/NotificationCenter.h"
#include "media/MediaEngine.h"

namespace cliploop {

// The two items of a clip, made before it starts: they open and decode their
// first frames on the engine's threads while another clip goes on playing.
struct PreparedClip {
    std::shared_ptr<Asset> asset;
    std::shared_ptr<PlayerItem> first;   // plays first
    std::shared_ptr<PlayerItem> second;  // waits behind it

    // Never blocks: nothing is read from the file on the caller's thread.
    static PreparedClip prepare(const FileUrl& url);
    explicit operator bool() const { return first != nullptr; }
    // Calls `handler` once, when the first item can play (its first frame is
    // decoded) or never will (failed()): on an engine thread, or at once on
    // the caller's when that is already so.
    void notifyWhenReady(std::function<void()> handler) const;
    bool failed() const { return first && first->failed(); }
    std::string failureReason() const { return first ? first->failureReason() : std::string(); }
};

class ClipLoop {
  public:
    using OutputSlot = AtomicSharedPtr<PlayerItemVideoOutput>;

    ClipLoop(std::shared_ptr<QueuePlayer> player, OutputSlot& slot,
             PixelBufferAttributes attributes = {kPixelFormatType32BGRA, true, true});
    ~ClipLoop();
    ClipLoop(const ClipLoop&) = delete;
    ClipLoop& operator=(const ClipLoop&) = delete;

    // A choice of the clip to play next: its first item is prepared at once
    // (the second once the first is ready) and, once the first item's first
    // frame is decoded (or it failed, and there is no second), `chosen` runs
    // with them on the main queue, unless a later choice superseded this one
    // by then. The clip that plays goes on meanwhile, so neither the
    // views nor the pump ever wait on the file; `chosen` decides what follows
    // (start the clip, or tell why it cannot play). Main thread only.
    using Chosen = std::function<void(const PreparedClip& clip)>;
    void choose(const FileUrl& url, Chosen chosen);

    // The clip start: a fresh output in the slot; the player paused; the queue
    // emptied (outputs detached from the items that leave) and refilled with
    // the clip's first item, current, and its second behind it; advance at an
    // item's end; then `showPlayer` (the views take the player); the output
    // attached to the current item; play at `rate`.
    void start(const PreparedClip& clip, float rate, const std::function<void()>& showPlayer = {});

    // The loop turn when `ended` has played to its end (null: whatever item is
    // current): a fresh output in the slot; the ended item leaves the queue,
    // its outputs detached, rewound to zero; the output attached to the item
    // that now plays; the ended item queued again behind it. An end that a
    // clip start overtook (its item is no longer current) turns nothing.
    void turn(const std::shared_ptr<PlayerItem>& ended);
    // The item an end-of-item notification names, or null.
    static std::shared_ptr<PlayerItem> endedItem(const Notification& notification);

    // Makes the loop turn at every end-of-item notification until it is
    // destroyed, for programs without a controller of their own to observe.
    void observeEnds();
    // The end of playing: a pending choice is dropped, the player paused and
    // emptied; later starts, turns and choices do nothing. Waits for a turn
    // under way. The destructor stops too.
    void stop();

    // Turns made so far, over every clip started.
    int turns() const { return turns_.load(); }
    // The clip started last (empty before the first start).
    PreparedClip clip() const;
    // What the decoders of that clip's two items have done, added up.
    ItemStats stats() const;

  private:
    void turnLocked(const std::shared_ptr<PlayerItem>& ended);
    std::shared_ptr<PlayerItemVideoOutput> replaceOutput();

    const std::shared_ptr<QueuePlayer> player_;
    OutputSlot& slot_;
    const PixelBufferAttributes attributes_;
    // Shared with the end observer, which may still be called while the loop
    // goes away: a turn under way holds the lock, and later ones see closed.
    struct Guard {
        std::mutex mutex;
        bool closed = false;
        // The newest choice not started yet; only it may start.
        PreparedClip pending;
    };
    const std::shared_ptr<Guard> guard_ = std::make_shared<Guard>();
    PreparedClip clip_;  // guarded by guard_->mutex
    bool observing_ = false;
    std::atomic<int> turns_{0};
};

}  // namespace cliploop
