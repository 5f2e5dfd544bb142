#include "controller/ViewController.h"

namespace cliploop {

void ViewController::tearDown() {
    // First the pump: once cancel() returns no tick runs or starts, so
    // nothing below is used from the timer's thread any more.
    if (timer) timer->cancel();

    // No drop and no end of item reaches this controller after this; a loop
    // turn already running on the engine's thread finishes before the loop
    // stops below.
    NotificationCenter::defaultCenter().removeObserver(this);

    // A folder walk still running stops at its next entry.
    searchGeneration_->fetch_add(1);

    // The player stops; the items' decode threads are handed to the engine's
    // reaper, which joins them before the process exits.
    if (loop_) loop_->stop();

    // Other applications stop finding "Video": its socket and entry go now,
    // not with the process.
    if (syphonServer) syphonServer->stop();
    pipeWireSource.reset();
}

}  // namespace cliploop
