#include <algorithm>
#include <any>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <thread>

#include "foundation/HostClock.h"
#include "foundation/NotificationCenter.h"
#include "media/ItemState.h"
#include "media/MediaEngine.h"

namespace cliploop {

const char* const kPlayerItemDidPlayToEndTimeNotification =
    "PlayerItemDidPlayToEndTimeNotification";

namespace {
// Beyond this a clip of any length lasts less than a frame of the display;
// the limit keeps item-time arithmetic finite.
constexpr double kMaxRate = 1024.0;

double sanitizedRate(float rate) {
    if (std::isnan(rate) || rate <= 0) return 0;
    return std::min(static_cast<double>(rate), kMaxRate);
}
}  // namespace

// The player's state, shared with its playback thread (which outlives the
// player object when the last reference is dropped on that very thread).
struct PlayerCore {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<PlayerItem>> items;  // front: the current item
    double rate = 0;
    ActionAtItemEnd action = ActionAtItemEnd::Advance;
    uint64_t queueGeneration = 0;  // bumped by every change of the queue
    uint64_t events = 0;           // bumped by anything that moves the end
    bool stopping = false;

    void wake() {
        std::lock_guard lock(mutex);
        ++events;
        changed.notify_all();
    }
    void changedLocked() {
        ++events;
        changed.notify_all();
    }

    void makeCurrentLocked(const std::shared_ptr<PlayerItem>& item, double anchorHost,
                           const std::shared_ptr<PlayerCore>& self) {
        ItemAccess::of(*item).setListener([weak = std::weak_ptr<PlayerCore>(self)] {
            if (auto core = weak.lock()) core->wake();
        });
        ItemAccess::of(*item).becomeCurrent(anchorHost, rate);
    }

    // Removes the current item; the next one plays on from `anchorHost`.
    void removeCurrentLocked(double now, double anchorHost,
                             const std::shared_ptr<PlayerCore>& self) {
        auto ended = items.front();
        ItemAccess::of(*ended).resignCurrent(now);
        items.pop_front();
        if (!items.empty()) makeCurrentLocked(items.front(), anchorHost, self);
        ++queueGeneration;
        changedLocked();
    }

    void run(const std::shared_ptr<PlayerCore>& self);
};

struct QueuePlayer::Impl {
    std::shared_ptr<PlayerCore> core = std::make_shared<PlayerCore>();
    std::thread thread;
};

std::shared_ptr<QueuePlayer> QueuePlayer::create() {
    return std::shared_ptr<QueuePlayer>(new QueuePlayer());
}

QueuePlayer::QueuePlayer() : impl_(std::make_unique<Impl>()) {
    impl_->thread = std::thread([core = impl_->core] { core->run(core); });
}

QueuePlayer::~QueuePlayer() {
    auto& core = *impl_->core;
    {
        std::lock_guard lock(core.mutex);
        core.stopping = true;
        if (!core.items.empty()) ItemAccess::of(*core.items.front()).resignCurrent(hostTime());
        core.changedLocked();
    }
    // Dropped from an end-of-item observer: the playback thread finishes on
    // its own, holding the core.
    if (impl_->thread.get_id() == std::this_thread::get_id())
        impl_->thread.detach();
    else
        impl_->thread.join();
}

// The playback thread: sleeps until the current item's clock reaches the
// item's end, reports the end, and advances. It, not the main thread, posts
// the end-of-item notification, so a busy main thread never delays a loop
// turn: the observer's turn runs here at once, and the next item is anchored
// at the host time the ended item ran out, however late the turn runs.
void PlayerCore::run(const std::shared_ptr<PlayerCore>& self) {
    std::unique_lock lock(mutex);
    while (!stopping) {
        const uint64_t seen = events;
        const auto woken = [&] { return stopping || events != seen; };
        const std::shared_ptr<PlayerItem> item = items.empty() ? nullptr : items.front();
        const auto due = item ? ItemAccess::of(*item).runOutHostTime() : std::nullopt;
        if (!due) {
            changed.wait(lock, woken);
            continue;
        }
        const double now = hostTime();
        if (now < *due) {
            changed.wait_for(lock, std::chrono::duration<double>(*due - now), woken);
            continue;
        }
        ItemAccess::of(*item).markEndReported();
        const uint64_t generation = queueGeneration;
        lock.unlock();
        // While observers run, `item` is still the current item.
        NotificationCenter::defaultCenter().post(kPlayerItemDidPlayToEndTimeNotification,
                                                 item.get(), std::any(item));
        lock.lock();
        if (stopping || queueGeneration != generation || items.empty() || items.front() != item)
            continue;  // an observer already changed the queue
        switch (action) {
            case ActionAtItemEnd::Advance:
                removeCurrentLocked(hostTime(), *due, self);
                break;
            case ActionAtItemEnd::Pause:
                rate = 0;
                ItemAccess::of(*item).setRate(hostTime(), 0);
                break;
            case ActionAtItemEnd::None:
                break;
        }
    }
}

void QueuePlayer::play() {
    setRate(1.0f);
}

void QueuePlayer::pause() {
    setRate(0.0f);
}

void QueuePlayer::setRate(float rate) {
    auto& core = *impl_->core;
    std::lock_guard lock(core.mutex);
    core.rate = sanitizedRate(rate);
    if (!core.items.empty()) ItemAccess::of(*core.items.front()).setRate(hostTime(), core.rate);
    core.changedLocked();
}

float QueuePlayer::rate() const {
    std::lock_guard lock(impl_->core->mutex);
    return static_cast<float>(impl_->core->rate);
}

void QueuePlayer::removeAllItems() {
    auto& core = *impl_->core;
    std::lock_guard lock(core.mutex);
    if (!core.items.empty()) ItemAccess::of(*core.items.front()).resignCurrent(hostTime());
    core.items.clear();
    ++core.queueGeneration;
    core.changedLocked();
}

void QueuePlayer::replaceCurrentItemWithPlayerItem(std::shared_ptr<PlayerItem> item) {
    auto& core = *impl_->core;
    std::lock_guard lock(core.mutex);
    const double now = hostTime();
    if (!core.items.empty() && core.items.front() == item) return;
    if (!core.items.empty()) {
        ItemAccess::of(*core.items.front()).resignCurrent(now);
        core.items.pop_front();
    }
    if (item) {
        std::erase(core.items, item);
        core.items.push_front(std::move(item));
    }
    if (!core.items.empty()) core.makeCurrentLocked(core.items.front(), now, impl_->core);
    ++core.queueGeneration;
    core.changedLocked();
}

void QueuePlayer::insertItem(std::shared_ptr<PlayerItem> item,
                             const std::shared_ptr<PlayerItem>& afterItem) {
    if (!item) return;
    auto& core = *impl_->core;
    std::lock_guard lock(core.mutex);
    // An item is queued once; inserting it again changes nothing.
    if (std::find(core.items.begin(), core.items.end(), item) != core.items.end()) return;
    auto position = core.items.end();
    if (afterItem) {
        const auto found = std::find(core.items.begin(), core.items.end(), afterItem);
        if (found != core.items.end()) position = std::next(found);
    }
    const bool wasEmpty = core.items.empty();
    core.items.insert(position, item);
    if (wasEmpty) core.makeCurrentLocked(item, hostTime(), impl_->core);
    ++core.queueGeneration;
    core.changedLocked();
}

void QueuePlayer::removeItem(const std::shared_ptr<PlayerItem>& item) {
    if (!item) return;
    auto& core = *impl_->core;
    std::lock_guard lock(core.mutex);
    const auto found = std::find(core.items.begin(), core.items.end(), item);
    if (found == core.items.end()) return;
    if (found != core.items.begin()) {
        core.items.erase(found);
        ++core.queueGeneration;
        core.changedLocked();
        return;
    }
    // The next item starts where the removed one stopped; when the removed
    // one had already run out (a loop turn in the end-of-item observer), that
    // is the host time of its end, so the turn adds no gap.
    const double now = hostTime();
    const auto end = ItemAccess::of(*item).endHostTime();
    const double anchor = end && *end <= now ? *end : now;
    core.removeCurrentLocked(now, anchor, impl_->core);
}

void QueuePlayer::setActionAtItemEnd(ActionAtItemEnd action) {
    std::lock_guard lock(impl_->core->mutex);
    impl_->core->action = action;
}

std::shared_ptr<PlayerItem> QueuePlayer::currentItem() const {
    std::lock_guard lock(impl_->core->mutex);
    return impl_->core->items.empty() ? nullptr : impl_->core->items.front();
}

std::vector<std::shared_ptr<PlayerItem>> QueuePlayer::items() const {
    std::lock_guard lock(impl_->core->mutex);
    return {impl_->core->items.begin(), impl_->core->items.end()};
}

MediaTime QueuePlayer::currentTimeForHostTime(double hostTime) const {
    const auto item = currentItem();
    return item ? ItemAccess::of(*item).itemTime(hostTime) : MediaTime::invalid();
}

}  // namespace cliploop
