#pragma once
// Work queues: the main queue (the thread that runs the application's event
// loop) and the global concurrent queue (a pool of worker threads).
//
// Promises:
// - mainAsync() runs work later, in submission order, on the main thread. The
//   user-interface layer installs the executor that wakes its event loop;
//   until then (command-line tools, tests) submitted work waits in the queue
//   until drainMainQueue() is called on the thread that called
//   markMainThread().
// - globalAsync() runs work on a worker thread, never on the main thread;
//   several items may run at once.
#include <chrono>
#include <functional>

namespace cliploop::dispatch {

using Work = std::function<void()>;

void mainAsync(Work work);
void globalAsync(Work work);

// Waits until the global queue has no work queued or running, or the timeout
// passes; returns whether it is idle. Work that submits more keeps it busy.
bool waitUntilGlobalIdle(std::chrono::milliseconds timeout);

// Declares the calling thread the main thread (done once, at start-up).
void markMainThread();
bool isMainThread();

// Installs the function that the main queue calls, from any thread, to ask the
// event loop to call drainMainQueue() soon on the main thread (nullptr: none).
// Once this returns, the previous function is not running and is not called
// again, so an event loop may uninstall its wakeup before it goes away. The
// function only asks the event loop; it must not submit work itself.
void setMainQueueWakeup(std::function<void()> wakeup);

// Runs the work queued for the main thread so far; returns how many ran.
int drainMainQueue();

// Drains the main queue until `done` returns true or the timeout passes; for
// tools and tests that have no event loop. Returns done().
bool runMainQueueUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

}  // namespace cliploop::dispatch
