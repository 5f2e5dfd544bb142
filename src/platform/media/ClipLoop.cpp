#include "media/ClipLoop.h"

#include <any>
#include <string>
#include <utility>

#include "foundation/Dispatch.h"

namespace cliploop {

namespace {

void detachOutputs(PlayerItem& item) {
    for (const auto& attached : item.outputs()) item.removeOutput(attached);
}

// Paused, and every item gone with its outputs detached.
void emptyQueue(QueuePlayer& player) {
    player.pause();
    for (const auto& leaving : player.items()) detachOutputs(*leaving);
    player.removeAllItems();
}

}  // namespace

PreparedClip PreparedClip::prepare(const FileUrl& url) {
    PreparedClip clip;
    clip.asset = Asset::assetWithURL(url);
    clip.first = PlayerItem::create(clip.asset);
    clip.second = PlayerItem::create(clip.asset);
    return clip;
}

void PreparedClip::notifyWhenReady(std::function<void()> handler) const {
    if (first) first->notifyWhenReady(std::move(handler));
}

void ClipLoop::choose(const FileUrl& url, Chosen chosen) {
    PreparedClip clip;
    clip.asset = Asset::assetWithURL(url);
    clip.first = PlayerItem::create(clip.asset);
    {
        // The choice it supersedes lets go of its items here: they stop
        // decoding, and its readiness finds nothing to start.
        std::lock_guard lock(guard_->mutex);
        if (guard_->closed) return;
        guard_->pending = clip;
    }
    // The engine holds the handler until the item is ready; holding the item
    // there too would keep a superseded one alive for as long.
    std::weak_ptr<PlayerItem> first = clip.first;
    clip.notifyWhenReady([guard = guard_, first, asset = clip.asset, chosen = std::move(chosen)] {
        const std::shared_ptr<PlayerItem> item = first.lock();
        if (!item) return;
        {
            std::lock_guard lock(guard->mutex);
            if (guard->closed || guard->pending.first != item) return;  // superseded
        }
        // The second item opens only now, so that the first one's frame,
        // which the switch waits for, has the processor to itself; the second
        // has the first one's whole length to get ready.
        std::shared_ptr<PlayerItem> second = item->failed() ? nullptr : PlayerItem::create(asset);
        dispatch::mainAsync([guard, first, second, chosen] {
            PreparedClip ready;
            {
                std::lock_guard lock(guard->mutex);
                const std::shared_ptr<PlayerItem> item = first.lock();
                if (guard->closed || !item || guard->pending.first != item) return;
                ready = std::exchange(guard->pending, PreparedClip{});
            }
            ready.second = second;
            chosen(ready);
        });
    });
}

ClipLoop::ClipLoop(std::shared_ptr<QueuePlayer> player, OutputSlot& slot,
                   PixelBufferAttributes attributes)
    : player_(std::move(player)), slot_(slot), attributes_(attributes) {}

ClipLoop::~ClipLoop() {
    if (observing_) NotificationCenter::defaultCenter().removeObserver(this);
    stop();
}

void ClipLoop::stop() {
    PreparedClip pending;
    std::lock_guard lock(guard_->mutex);
    if (guard_->closed) return;
    guard_->closed = true;
    // Its readiness handler holds the guard: letting go of the items here
    // breaks that circle (they are released after the lock, below).
    pending = std::exchange(guard_->pending, PreparedClip{});
    // The items' decode threads go to the engine's reaper, which joins them.
    emptyQueue(*player_);
}

std::shared_ptr<PlayerItemVideoOutput> ClipLoop::replaceOutput() {
    std::shared_ptr<PlayerItemVideoOutput> output = PlayerItemVideoOutput::create(attributes_);
    slot_.store(output);
    return output;
}

void ClipLoop::start(const PreparedClip& clip, float rate,
                     const std::function<void()>& showPlayer) {
    // A turn of the clip that played until now waits until the queue is
    // rebuilt, and then finds its item gone.
    std::lock_guard lock(guard_->mutex);
    if (guard_->closed) return;
    const std::shared_ptr<PlayerItemVideoOutput> output = replaceOutput();
    emptyQueue(*player_);
    player_->replaceCurrentItemWithPlayerItem(clip.first);
    if (clip.second) player_->insertItem(clip.second, clip.first);
    player_->setActionAtItemEnd(ActionAtItemEnd::Advance);
    clip_ = clip;
    if (showPlayer) showPlayer();
    if (const std::shared_ptr<PlayerItem> current = player_->currentItem())
        current->addOutput(output);
    player_->play();
    // At the rate the performer set, not at play's 1.0.
    player_->setRate(rate);
}

void ClipLoop::turn(const std::shared_ptr<PlayerItem>& ended) {
    std::lock_guard lock(guard_->mutex);
    if (!guard_->closed) turnLocked(ended);
}

void ClipLoop::turnLocked(const std::shared_ptr<PlayerItem>& ended) {
    // Posted before a clip start rebuilt the queue, and delivered after it:
    // turning now would cut the new clip's first item short.
    if (ended && ended != player_->currentItem()) return;
    const std::shared_ptr<PlayerItemVideoOutput> output = replaceOutput();
    const std::shared_ptr<PlayerItem> item = player_->currentItem();
    if (!item) return;
    player_->removeItem(item);
    detachOutputs(*item);
    item->seekToTime(MediaTime::zero());
    if (const std::shared_ptr<PlayerItem> current = player_->currentItem())
        current->addOutput(output);
    player_->insertItem(item, nullptr);
    ++turns_;
}

std::shared_ptr<PlayerItem> ClipLoop::endedItem(const Notification& notification) {
    const auto* item = std::any_cast<std::shared_ptr<PlayerItem>>(&notification.object);
    return item ? *item : nullptr;
}

void ClipLoop::observeEnds() {
    if (observing_) return;
    observing_ = true;
    NotificationCenter::defaultCenter().addObserver(
        this, kPlayerItemDidPlayToEndTimeNotification, nullptr,
        [this, guard = guard_](const Notification& notification) {
            std::lock_guard lock(guard->mutex);
            if (!guard->closed) turnLocked(endedItem(notification));
        });
}

PreparedClip ClipLoop::clip() const {
    std::lock_guard lock(guard_->mutex);
    return clip_;
}

ItemStats ClipLoop::stats() const {
    ItemStats total;
    const PreparedClip playing = clip();
    for (const auto& item : {playing.first, playing.second}) {
        if (!item) continue;
        const ItemStats s = item->stats();
        total.decoded += s.decoded;
        total.skippedLate += s.skippedLate;
        total.droppedUnseen += s.droppedUnseen;
        total.underruns += s.underruns;
    }
    return total;
}

}  // namespace cliploop
