#pragma once
// Named notifications delivered synchronously to registered observers.
//
// Promises:
// - post() calls every matching handler on the posting thread, in registration
//   order, before it returns. A handler removed before its turn (also by an
//   earlier handler of the same delivery) is not called; one added during a
//   delivery is not called by it.
// - Once removeObserver() returns, no call of the removed handlers begins, on
//   any thread. A call that had already begun (on another thread, or further
//   up the caller's own stack) is not waited for.
// - Any method may be called from any thread, and from inside a handler
//   (adding or removing observers, posting again). No lock is held while a
//   handler runs.
// - An observer registered with a sender receives only notifications posted
//   with that sender; one registered without (nullptr) receives them all.
#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace cliploop {

struct Notification {
    std::string name;
    // Identity of the posting object, or nullptr; used by sender filters.
    const void* sender = nullptr;
    // The notification's object (for example a path string), or empty.
    std::any object;
};

class NotificationCenter {
  public:
    using Handler = std::function<void(const Notification&)>;

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The one process-wide centre.
    static NotificationCenter& defaultCenter();

    // `observer` is an identity only; it is never dereferenced.
    void addObserver(const void* observer, std::string name, const void* sender, Handler handler);

    // Removes the observer's registrations; with a name (and a sender), only those.
    void removeObserver(const void* observer, const std::optional<std::string>& name = std::nullopt,
                        const void* sender = nullptr);

    void post(const Notification& notification);
    void post(std::string name, const void* sender = nullptr, std::any object = {});

  private:
    struct Entry;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Entry>> entries_;
};

}  // namespace cliploop
