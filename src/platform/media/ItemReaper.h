#pragma once
// Ends the decode threads of destroyed items in the background, so that
// dropping an item never makes its caller wait for a frame being decoded.
// Every thread handed over is joined before the process exits.
#include <memory>

namespace cliploop {

class ItemState;

// Asks the item's thread to stop and joins it later on the reaper's thread.
void reapItemState(std::shared_ptr<ItemState> state);

}  // namespace cliploop
