#pragma once
// A shared pointer that threads exchange whole: a load takes a reference to
// the object stored at that moment, which stays valid however often the
// pointer is replaced afterwards.
//
// std::atomic<std::shared_ptr> of the toolchain in use releases its internal
// lock with relaxed ordering after a load, which leaves the load's read of the
// pointer formally unordered against the next store; a plain mutex, held only
// to copy the pointer, has no such hole and costs a tick next to nothing.
#include <memory>
#include <mutex>
#include <utility>

namespace cliploop {

template <typename T>
class AtomicSharedPtr {
  public:
    AtomicSharedPtr() = default;
    AtomicSharedPtr(const AtomicSharedPtr&) = delete;
    AtomicSharedPtr& operator=(const AtomicSharedPtr&) = delete;

    std::shared_ptr<T> load() const {
        std::lock_guard lock(mutex_);
        return value_;
    }

    // The replaced object is let go after the lock is released.
    void store(std::shared_ptr<T> value) { exchange(std::move(value)); }

    std::shared_ptr<T> exchange(std::shared_ptr<T> value) {
        std::lock_guard lock(mutex_);
        return std::exchange(value_, std::move(value));
    }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<T> value_;
};

}  // namespace cliploop
