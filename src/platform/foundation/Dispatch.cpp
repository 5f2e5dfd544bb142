#include "foundation/Dispatch.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace cliploop::dispatch {
namespace {

// Both queues are leaked on purpose: detached workers and late submissions
// during exit must never meet a destroyed mutex or queue.

struct MainQueue {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Work> pending;
    // A wakeup was asked for and the drain it leads to has not begun; spares
    // the event loop one wakeup per item when many arrive at once.
    bool wakeupPending = false;

    // Held while the wakeup runs, so that replacing it (the event loop going
    // away) waits for a call in progress. Separate from `mutex`, so that
    // submitting and draining never wait for a wakeup.
    std::mutex wakeupMutex;
    std::function<void()> wakeup;
};

MainQueue& mainQueue() {
    static MainQueue* const queue = new MainQueue;
    return *queue;
}

std::atomic<std::thread::id> mainThreadId{};

void runGuarded(Work& work, const char* queueName) {
    // An escaping exception would end the process from a worker thread or
    // unwind the event loop; report it and carry on with the next item.
    try {
        work();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "cliploop: uncaught exception on the %s queue: %s\n", queueName,
                     error.what());
    } catch (...) {
        std::fprintf(stderr, "cliploop: uncaught exception on the %s queue\n", queueName);
    }
}

class GlobalQueue {
  public:
    GlobalQueue() {
        const unsigned count = std::max(2u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < count; ++i) {
            std::thread([this] { workLoop(); }).detach();
        }
    }

    void submit(Work work) {
        {
            std::lock_guard lock(mutex_);
            pending_.push_back(std::move(work));
        }
        available_.notify_one();
    }

    bool waitUntilIdle(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return idle_.wait_for(lock, timeout, [this] { return running_ == 0 && pending_.empty(); });
    }

  private:
    void workLoop() {
        pthread_setname_np(pthread_self(), "cliploop-global");
        std::unique_lock lock(mutex_);
        for (;;) {
            available_.wait(lock, [this] { return !pending_.empty(); });
            Work work = std::move(pending_.front());
            pending_.pop_front();
            ++running_;
            lock.unlock();
            runGuarded(work, "global");
            // Captured state is released before the lock is taken again.
            work = nullptr;
            lock.lock();
            if (--running_ == 0 && pending_.empty()) idle_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable available_;
    std::condition_variable idle_;
    std::deque<Work> pending_;
    int running_ = 0;  // items taken from pending_ and not yet finished
};

GlobalQueue& globalQueue() {
    static GlobalQueue* const queue = new GlobalQueue;
    return *queue;
}

}  // namespace

void mainAsync(Work work) {
    auto& queue = mainQueue();
    bool ask;
    {
        std::lock_guard lock(queue.mutex);
        queue.pending.push_back(std::move(work));
        ask = !queue.wakeupPending;
        queue.wakeupPending = true;
    }
    queue.arrived.notify_all();
    if (ask) {
        std::lock_guard lock(queue.wakeupMutex);
        if (queue.wakeup) queue.wakeup();
    }
}

void globalAsync(Work work) {
    globalQueue().submit(std::move(work));
}

bool waitUntilGlobalIdle(std::chrono::milliseconds timeout) {
    return globalQueue().waitUntilIdle(timeout);
}

void markMainThread() {
    mainThreadId.store(std::this_thread::get_id());
}

bool isMainThread() {
    return mainThreadId.load() == std::this_thread::get_id();
}

void setMainQueueWakeup(std::function<void()> wakeup) {
    auto& queue = mainQueue();
    std::lock_guard wakeupLock(queue.wakeupMutex);
    queue.wakeup = std::move(wakeup);
    bool ask = false;
    {
        std::lock_guard lock(queue.mutex);
        // Work queued before this wakeup took over still needs its drain.
        ask = !queue.pending.empty();
        queue.wakeupPending = ask;
    }
    if (ask && queue.wakeup) queue.wakeup();
}

int drainMainQueue() {
    auto& queue = mainQueue();
    std::size_t limit;
    {
        std::lock_guard lock(queue.mutex);
        queue.wakeupPending = false;
        limit = queue.pending.size();
    }
    // One item at a time: work queued meanwhile waits for the next drain, and
    // a nested drain (a modal loop run by an item) keeps submission order.
    int ran = 0;
    for (std::size_t i = 0; i < limit; ++i) {
        Work work;
        {
            std::lock_guard lock(queue.mutex);
            if (queue.pending.empty()) break;
            work = std::move(queue.pending.front());
            queue.pending.pop_front();
        }
        runGuarded(work, "main");
        ++ran;
    }
    return ran;
}

bool runMainQueueUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    auto& queue = mainQueue();
    for (;;) {
        drainMainQueue();
        if (done()) return true;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        // `done` may turn true without anything reaching the main queue (a
        // worker setting a flag), so look again at least every few ms.
        const auto slice = std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(2));
        std::unique_lock lock(queue.mutex);
        queue.arrived.wait_for(lock, slice, [&] { return !queue.pending.empty(); });
    }
}

}  // namespace cliploop::dispatch
