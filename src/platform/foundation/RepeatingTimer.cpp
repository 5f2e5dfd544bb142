#include "foundation/RepeatingTimer.h"

#include <pthread.h>
#include <sys/prctl.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <utility>

namespace cliploop {

struct RepeatingTimer::State {
    std::chrono::nanoseconds interval;
    // Read by the worker without the lock while it ticks; only replaced once
    // the worker has ended (after a join) or by the worker itself.
    Handler handler;

    std::mutex mutex;
    std::condition_variable wake;
    bool started = false;
    bool cancelled = false;
    // Cancelled from inside a tick: nobody joins, so the worker releases the
    // handler itself once that tick has returned.
    bool releaseOnExit = false;
    // A cancel() on another thread joins the worker and releases the handler
    // on its own thread; the worker then leaves the handler alone.
    bool joining = false;
    // Held by a cancel() that joins, so that concurrent cancels both wait.
    std::mutex joinMutex;
};

namespace {
// The state of the timer whose worker is the calling thread, if any; tells
// cancel() and the destructor that they run inside their own timer.
thread_local const void* currentTimer = nullptr;
}  // namespace

RepeatingTimer::RepeatingTimer(std::chrono::nanoseconds interval, Handler handler)
    : state_(std::make_shared<State>()) {
    // A non-positive interval would make the skipping arithmetic divide by zero.
    state_->interval = std::max(interval, std::chrono::nanoseconds(1));
    state_->handler = std::move(handler);
}

RepeatingTimer::~RepeatingTimer() {
    const bool onTimerThread = currentTimer == state_.get();
    cancel();
    // Destroyed by its own handler (or by the release of it): the worker is
    // the calling thread and ends by itself right after.
    if (onTimerThread && thread_.joinable()) thread_.detach();
}

void RepeatingTimer::start() {
    std::lock_guard lock(state_->mutex);
    if (state_->started || state_->cancelled) return;
    state_->started = true;
    thread_ = std::thread(&RepeatingTimer::run, state_);
}

void RepeatingTimer::cancel() {
    // A local owner: releasing the handler may destroy this timer.
    const std::shared_ptr<State> state = state_;
    const bool onTimerThread = currentTimer == state.get();
    {
        std::lock_guard lock(state->mutex);
        state->cancelled = true;
        if (onTimerThread) {
            state->releaseOnExit = true;
        } else {
            state->joining = true;
        }
    }
    state->wake.notify_all();
    if (onTimerThread) return;

    {
        std::lock_guard join(state->joinMutex);
        if (thread_.joinable()) thread_.join();
    }
    Handler released;
    {
        std::lock_guard lock(state->mutex);
        released = std::exchange(state->handler, nullptr);
    }
    // `released` goes last; nothing of this object is touched after it.
}

bool RepeatingTimer::isRunning() const {
    std::lock_guard lock(state_->mutex);
    return state_->started && !state_->cancelled;
}

void RepeatingTimer::run(std::shared_ptr<State> state) {
    currentTimer = state.get();
    pthread_setname_np(pthread_self(), "cliploop-timer");
    // The default 50 us of timer slack would show as jitter on every tick.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    using Clock = std::chrono::steady_clock;
    const auto interval = state->interval;
    auto deadline = Clock::now();
    std::unique_lock lock(state->mutex);
    for (;;) {
        // steady_clock waits are absolute CLOCK_MONOTONIC waits, and cancel()
        // ends them at once through the condition variable.
        if (state->wake.wait_until(lock, deadline, [&] { return state->cancelled; })) break;
        lock.unlock();
        try {
            if (state->handler) state->handler();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "cliploop: uncaught exception in a timer tick: %s\n",
                         error.what());
        } catch (...) {
            std::fprintf(stderr, "cliploop: uncaught exception in a timer tick\n");
        }
        lock.lock();
        deadline += interval;
        const auto now = Clock::now();
        if (deadline <= now) {
            // Overran: go on at the first deadline still ahead, on the same grid.
            deadline += ((now - deadline) / interval + 1) * interval;
        }
    }
    Handler released;
    if (state->releaseOnExit && !state->joining) released = std::exchange(state->handler, nullptr);
    lock.unlock();
    // May destroy the timer object (its owner lived in the handler); `state`
    // stays alive through this frame.
    released = nullptr;
    currentTimer = nullptr;
}

}  // namespace cliploop
