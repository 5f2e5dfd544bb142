#pragma once
// A repeating timer whose handler runs on a worker thread of its own.
//
// Promises: the first tick comes at once after start(), then one every
// interval, on absolute deadlines (start + n * interval), so that the ticks do
// not drift. Never two ticks at once: a tick that overruns delays the next one,
// and deadlines that passed meanwhile are skipped rather than piled up.
// cancel() waits for a running tick to end (unless called from the handler)
// and no tick starts after it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
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
    void run();

    const std::chrono::nanoseconds interval_;
    Handler handler_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool cancelled_ = false;
    bool started_ = false;
    std::thread thread_;
};

}  // namespace cliploop
