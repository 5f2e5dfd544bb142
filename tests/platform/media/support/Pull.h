#pragma once
// Reading an item's frames without a player, and waiting with a hang guard.
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "ClipGenerator.h"
#include "media/ItemState.h"
#include "media/MediaEngine.h"

namespace cliploop::testing {

// Polls until `done` holds; false after 30 s (a hang guard, not a timing check).
inline bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct FrameInfo {
    int number;
    MediaTime time;
    int width, height;
};

// The frames of `item` in order, up to its end or `limit`, as fast as they
// decode. Each goes to `look` and is let go: held frames would starve the
// item's bounded surface pool.
inline std::vector<FrameInfo> pullNumbers(
    PlayerItem& item, size_t limit = 1000,
    const std::function<void(const PixelBuffer&)>& look = {}) {
    std::vector<FrameInfo> frames;
    bool ended = false;
    while (!ended && frames.size() < limit) {
        auto frame = item.state()->takeNextFrame(std::chrono::seconds(30), &ended);
        if (!frame) break;
        if (look) look(*frame);
        frames.push_back(
            {readFrameNumber(*frame), frame->presentationTime(), frame->width(), frame->height()});
    }
    return frames;
}

inline std::shared_ptr<PlayerItem> itemFor(const std::string& path) {
    return PlayerItem::create(Asset::assetWithURL(FileUrl::fromPath(path)));
}

}  // namespace cliploop::testing
