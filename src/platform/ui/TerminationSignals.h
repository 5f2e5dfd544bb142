#pragma once
// SIGINT and SIGTERM as a request to quit: instead of ending the process
// where it stands (leaving the frame server's socket behind and no chance to
// stop the threads), they end the event loop the ordinary way, so the
// application tears down as on the Quit action.
//
// Threads: install on the main thread, which the quit then runs on. The
// signal handler itself only writes one byte into a pipe (async-signal-safe);
// a socket notifier on the main thread reads it.
#include <memory>

class QCoreApplication;

namespace cliploop::application {

// From now on SIGINT and SIGTERM make `app` quit, on its own thread. Undone
// (the previous dispositions back, the pipe closed) by the returned guard's
// destruction; nullptr when no pipe can be had, and the signals then keep
// their previous dispositions.
std::shared_ptr<void> quitOnTerminationSignals(QCoreApplication* app);

}  // namespace cliploop::application
