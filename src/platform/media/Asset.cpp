#include "media/MediaEngine.h"

namespace cliploop {

// No validation and no file access here: an item opens the file on its own
// thread, so a caller on the main thread never waits for the disk.
std::shared_ptr<Asset> Asset::assetWithURL(const FileUrl& url) {
    return std::make_shared<Asset>(url);
}

}  // namespace cliploop
