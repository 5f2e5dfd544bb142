#pragma once
// A repeating timer whose handler runs on a worker thread of its own.
//
// Promises: the first tick comes at once after start(), then one every
// interval, on absolute deadlines (start + n * interval), so that the ticks do
// not drift. Never two ticks at once: a tick that overruns delays the next one,
// and deadlines that passed meanwhile are skipped rather than piled up.
// cancel() waits for a running tick to end (unless called from the handler)
// and no tick starts after it; it then releases the handler (and whatever the
// handler holds): on the calling thread, or when called from the handler, on
// the timer's thread once that tick has returned. A cancelled timer does not
// start again. The destructor cancels.
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace cliploop {

class RepeatingTimer {
  public:
    using Handler = std::function<void()>;

    RepeatingTimer(std::chrono::nanoseconds interval, Handler handler);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    void start();
    void cancel();
    bool isRunning() const;

  private:
    // Shared with the worker thread, so that a timer destroyed by its own
    // handler (dropping the last owner of the timer) leaves the thread's
    // state alive until the thread ends.
    struct State;
    static void run(std::shared_ptr<State> state);

    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace cliploop
