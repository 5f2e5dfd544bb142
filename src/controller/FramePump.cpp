#include "controller/ViewController.h"
#include "foundation/HostClock.h"

namespace cliploop {

void ViewController::videoCapturing() {
    // Without a server the frame is still bound; before the first frame the
    // empty texture is published at 512 by 512.
    pump_.tick({context.get(), texture, {syphonServer.get(), pipeWireSource.get()}, &size},
               hostTime());
}

}  // namespace cliploop
