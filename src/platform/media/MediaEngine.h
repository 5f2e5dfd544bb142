#pragma once
// The media engine: assets, player items, a queue player, and video outputs
// that hand decoded frames out as surface-backed BGRA pixel buffers.
//
// Threads: every call may come from any thread. Opening, demuxing and decoding
// run on the engine's own threads, never on the caller's; no call blocks on
// file I/O or decoding. Nothing throws out of the engine: a file that cannot be
// played gives an item that never delivers a frame and never ends.
//
// Timing: the player's clock maps host time (hostTime(), seconds) to the
// current item's time: itemTime = anchorItemTime + (host - anchorHost) * rate.
// When decoding falls behind the clock, frames are skipped; the clock is never
// slowed. When the current item's time reaches its duration, the player posts
// kPlayerItemDidPlayToEndTimeNotification (object: the item, as
// std::shared_ptr<PlayerItem>; sender: the item's address) on the default
// notification centre, on the engine's playback thread, and then advances
// unless an observer already changed the queue. The next item starts at the
// exact host time the ended one ran out, so loop turns add no gap. An item
// that becomes current before its first frame is decoded (a clip start)
// holds its clock at its start until that frame is there.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/FileUrl.h"
#include "surface/Surface.h"

namespace cliploop {

// A rational media time. Invalid times (timescale 0) mean "none".
struct MediaTime {
    int64_t value = 0;
    int32_t timescale = 0;

    static constexpr MediaTime zero() { return {0, 1}; }
    static constexpr MediaTime invalid() { return {0, 0}; }
    static MediaTime fromSeconds(double seconds, int32_t timescale = 90000);
    bool isValid() const { return timescale > 0; }
    double seconds() const;
};
int compare(MediaTime a, MediaTime b);
inline bool operator<(MediaTime a, MediaTime b) {
    return compare(a, b) < 0;
}
inline bool operator==(MediaTime a, MediaTime b) {
    return compare(a, b) == 0;
}

// A decoded frame: BGRA pixels in a Surface, upright (orientation applied).
// Shared by reference count; the surface goes back to its pool only when the
// last holder of the pixel buffer or of the surface lets go.
class PixelBuffer {
  public:
    PixelBuffer(std::shared_ptr<Surface> surface, MediaTime presentationTime);
    int width() const { return surface_->width(); }
    int height() const { return surface_->height(); }
    int bytesPerRow() const { return surface_->bytesPerRow(); }
    const uint8_t* baseAddress() const { return surface_->data(); }
    MediaTime presentationTime() const { return time_; }
    // The surface behind the pixels (never null).
    const std::shared_ptr<Surface>& surface() const { return surface_; }

  private:
    std::shared_ptr<Surface> surface_;
    MediaTime time_;
};
using PixelBufferRef = std::shared_ptr<PixelBuffer>;

// The attribute set every video output is made with.
struct PixelBufferAttributes {
    uint32_t pixelFormatType = 0;    // only 0x42475241 ('BGRA') is served
    bool surfaceProperties = false;  // surface-backed buffers requested
    bool graphicsCompatibility = false;
};
constexpr uint32_t kPixelFormatType32BGRA = 0x42475241;

// A media file, opened lazily; assetWithURL does not touch the file.
class Asset {
  public:
    static std::shared_ptr<Asset> assetWithURL(const FileUrl& url);
    const FileUrl& url() const { return url_; }
    explicit Asset(FileUrl url) : url_(std::move(url)) {}

  private:
    FileUrl url_;
};

// What an item's decoder has done so far, for tools and benchmarks.
struct ItemStats {
    int64_t decoded = 0;        // frames converted and queued
    int64_t skippedLate = 0;    // decoded after their time had passed; not converted
    int64_t droppedUnseen = 0;  // converted, but the clock passed them before anyone took them
    int64_t underruns = 0;      // times a frame was still shown after its end for want of the next
};

class PlayerItemVideoOutput;
class QueuePlayer;
class ItemState;    // the engine's per-item state (demuxer, decoder, frames)
struct ItemAccess;  // how the engine reaches it

// One playback of an asset, with its own demuxer and decoder: two items of one
// asset play independently.
class PlayerItem : public std::enable_shared_from_this<PlayerItem> {
  public:
    static std::shared_ptr<PlayerItem> create(std::shared_ptr<Asset> asset);
    ~PlayerItem();

    const std::shared_ptr<Asset>& asset() const { return asset_; }
    // Rewinds: the item plays from `time` (only zero is supported) the next
    // time it is current; frames decoded beyond it are dropped.
    void seekToTime(MediaTime time);
    // The output delivers this item's frames from now on. The item does not
    // keep the output alive: outputs() lists those that others still hold.
    void addOutput(std::shared_ptr<PlayerItemVideoOutput> output);
    void removeOutput(const std::shared_ptr<PlayerItemVideoOutput>& output);
    std::vector<std::shared_ptr<PlayerItemVideoOutput>> outputs() const;
    // The item's duration once known, else invalid: the container's figure
    // until the decoder reaches the end, then exactly the end of the last
    // frame (a cut file ends where its frames end). A clip of one frame (a
    // still image) lasts one second per turn. An item whose clock reaches
    // this end is reported as ended; one that never decoded a frame never is.
    MediaTime duration() const;
    // True once opening failed (the item will never deliver a frame).
    bool failed() const;
    // Why opening or decoding failed, in a few words; empty unless failed().
    std::string failureReason() const;
    // True once the first frame since the last seek is decoded (or opening failed).
    bool isReady() const;
    // Calls `handler` once, when isReady() or failed() first holds: on an
    // engine thread, or at once on the caller's thread when one already does.
    void notifyWhenReady(std::function<void()> handler);
    // While the item is current: the host time at which its clock reaches
    // its known end, whether or not that end was reported yet.
    std::optional<double> endHostTime() const;
    ItemStats stats() const;
    // For tools and benchmarks that read an item without a player: the next
    // decoded frame in order, as fast as the decoder goes, waiting at most
    // `timeout`. Sets `*ended` when the item has no more frames (its end, or
    // failure). An item read this way must not be given to a player.
    PixelBufferRef copyNextPixelBuffer(std::chrono::milliseconds timeout, bool* ended);

  private:
    friend struct ItemAccess;
    explicit PlayerItem(std::shared_ptr<Asset> asset);
    void detach(const PlayerItemVideoOutput& output);
    std::shared_ptr<Asset> asset_;
    std::shared_ptr<ItemState> state_;
    mutable std::mutex mutex_;
    // Not owned: an output nobody else holds can never be read again, and a
    // looping clip attaches a fresh one at every turn.
    std::vector<std::weak_ptr<PlayerItemVideoOutput>> outputs_;
};

extern const char* const kPlayerItemDidPlayToEndTimeNotification;

// Frames of the item the output is attached to, for a given item time.
class PlayerItemVideoOutput : public std::enable_shared_from_this<PlayerItemVideoOutput> {
  public:
    static std::shared_ptr<PlayerItemVideoOutput> create(const PixelBufferAttributes& attributes);

    // The attached item's time at `hostTime` by its player's clock; invalid
    // while the output is attached to no item that a player is playing.
    MediaTime itemTimeForHostTime(double hostTime) const;
    // True when the newest frame at or before `itemTime` has not been taken
    // from this output yet.
    bool hasNewPixelBufferForItemTime(MediaTime itemTime) const;
    // That frame, now the caller's; nullptr when there is none. Marks it taken.
    PixelBufferRef copyPixelBufferForItemTime(MediaTime itemTime, MediaTime* itemTimeForDisplay);

    const PixelBufferAttributes& attributes() const { return attributes_; }

  private:
    friend class PlayerItem;
    explicit PlayerItemVideoOutput(const PixelBufferAttributes& attributes);
    PixelBufferAttributes attributes_;
    mutable std::mutex mutex_;
    std::weak_ptr<PlayerItem> item_;
    int64_t lastTakenSerial_ = -1;
};

enum class ActionAtItemEnd { Advance = 0, Pause = 1, None = 2 };

// Plays a queue of items, one after another.
class QueuePlayer : public std::enable_shared_from_this<QueuePlayer> {
  public:
    static std::shared_ptr<QueuePlayer> create();
    ~QueuePlayer();

    void play();               // rate 1.0
    void pause();              // rate 0, playing stops
    void setRate(float rate);  // 0 freezes; negative rates are taken as 0
    float rate() const;

    void removeAllItems();
    void replaceCurrentItemWithPlayerItem(std::shared_ptr<PlayerItem> item);
    // Inserts after `afterItem`, or at the end when it is null.
    void insertItem(std::shared_ptr<PlayerItem> item, const std::shared_ptr<PlayerItem>& afterItem);
    // Removing the current item makes the next one current; it plays on at
    // the same rate from the host time of the removal.
    void removeItem(const std::shared_ptr<PlayerItem>& item);
    void setActionAtItemEnd(ActionAtItemEnd action);
    std::shared_ptr<PlayerItem> currentItem() const;
    std::vector<std::shared_ptr<PlayerItem>> items() const;

    // The current item's time at `hostTime` (invalid with no current item).
    MediaTime currentTimeForHostTime(double hostTime) const;

  private:
    struct Impl;
    QueuePlayer();
    std::unique_ptr<Impl> impl_;
};

// The picture of whatever item a player is playing: what the player views
// show. Follows the player across item changes.
class PictureSource {
  public:
    explicit PictureSource(std::shared_ptr<QueuePlayer> player);
    // The frame to show at `hostTime`, or nullptr before the first frame;
    // keeps returning the last frame while the player is paused or between
    // items.
    PixelBufferRef frameForHostTime(double hostTime);
    const std::shared_ptr<QueuePlayer>& player() const { return player_; }

  private:
    std::shared_ptr<QueuePlayer> player_;
    std::mutex mutex_;
    PixelBufferRef last_;
};

}  // namespace cliploop
