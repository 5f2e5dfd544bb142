#include "foundation/NotificationCenter.h"

#include <atomic>

namespace cliploop {

// One registration. The handler is never changed after construction, so
// deliveries on several threads may call it at once without a lock.
struct NotificationCenter::Entry {
    const void* observer;
    std::string name;
    const void* sender;
    Handler handler;
    // Set under the centre's mutex when the registration is removed; read by
    // deliveries right before each call, so a removal stops calls that have
    // not begun even when the delivery took its snapshot earlier.
    std::atomic<bool> removed{false};

    Entry(const void* o, std::string n, const void* s, Handler h)
        : observer(o), name(std::move(n)), sender(s), handler(std::move(h)) {}
};

NotificationCenter::NotificationCenter() = default;
NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: handlers and posts that run while the process exits
    // (from detached workers, static destructors) still find a live centre.
    static NotificationCenter* const center = new NotificationCenter;
    return *center;
}

void NotificationCenter::addObserver(const void* observer, std::string name, const void* sender,
                                     Handler handler) {
    auto entry = std::make_shared<Entry>(observer, std::move(name), sender, std::move(handler));
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
}

void NotificationCenter::removeObserver(const void* observer,
                                        const std::optional<std::string>& name,
                                        const void* sender) {
    // Handlers are released outside the lock: their captured state may post
    // or remove observers from its destructor.
    std::vector<std::shared_ptr<Entry>> released;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(entries_, [&](const std::shared_ptr<Entry>& entry) {
            const bool match = entry->observer == observer && (!name || entry->name == *name) &&
                               (sender == nullptr || entry->sender == sender);
            if (match) {
                entry->removed.store(true);
                released.push_back(entry);
            }
            return match;
        });
    }
}

void NotificationCenter::post(const Notification& notification) {
    // Deliver from a snapshot so that handlers may change the registrations
    // (or post again) while no lock is held; observers added meanwhile are
    // not called by this delivery.
    std::vector<std::shared_ptr<Entry>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : entries_) {
            if (entry->name == notification.name &&
                (entry->sender == nullptr || entry->sender == notification.sender)) {
                matching.push_back(entry);
            }
        }
    }
    for (const auto& entry : matching) {
        if (!entry->removed.load() && entry->handler) entry->handler(notification);
    }
}

void NotificationCenter::post(std::string name, const void* sender, std::any object) {
    post(Notification{std::move(name), sender, std::move(object)});
}

}  // namespace cliploop
