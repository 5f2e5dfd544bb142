#include "media/ItemReaper.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "media/ItemState.h"

namespace cliploop {

namespace {

// Trivially destructible, so still readable while statics are torn down.
std::atomic<bool> reaperGone{false};

class Reaper {
  public:
    ~Reaper() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
            wake_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
        reaperGone = true;
    }

    void adopt(std::shared_ptr<ItemState> state) {
        state->requestStop();
        std::lock_guard lock(mutex_);
        if (closing_) return;  // process exit: the caller's reference joins it
        queue_.push_back(std::move(state));
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        wake_.notify_all();
    }

  private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return closing_ || !queue_.empty(); });
            if (queue_.empty()) return;
            std::shared_ptr<ItemState> state = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            state->join();
            state.reset();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<ItemState>> queue_;
    bool closing_ = false;
    std::thread thread_;
};

}  // namespace

void reapItemState(std::shared_ptr<ItemState> state) {
    if (!state) return;
    if (reaperGone) {  // an item dropped during process exit: end it here
        state->requestStop();
        state->join();
        return;
    }
    static Reaper reaper;
    reaper.adopt(std::move(state));
}

}  // namespace cliploop
