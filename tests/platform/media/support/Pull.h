#pragma once
// Reads an item's frames in order without a player, as fast as they decode.
#include <chrono>
#include <memory>
#include <vector>

#include "ClipGenerator.h"
#include "media/ItemState.h"
#include "media/MediaEngine.h"

namespace cliploop::testing {

// Every frame of `item` up to its end (or `limit` frames). Gives up after a
// generous time without a frame (a hang guard, not a timing check). Holding
// frames keeps their surfaces from the item's bounded pool, so keep `limit`
// small, or use pullNumbers.
inline std::vector<PixelBufferRef> pullFrames(PlayerItem& item, size_t limit = 4) {
    std::vector<PixelBufferRef> frames;
    bool ended = false;
    while (!ended && frames.size() < limit) {
        auto frame = item.state()->takeNextFrame(std::chrono::seconds(30), &ended);
        if (!frame) break;
        frames.push_back(std::move(frame));
    }
    return frames;
}

struct FrameInfo {
    int number;
    MediaTime time;
    int width, height;
};

// The number, time and size of every frame to the item's end.
inline std::vector<FrameInfo> pullNumbers(PlayerItem& item, size_t limit = 1000) {
    std::vector<FrameInfo> frames;
    bool ended = false;
    while (!ended && frames.size() < limit) {
        auto frame = item.state()->takeNextFrame(std::chrono::seconds(30), &ended);
        if (!frame) break;
        frames.push_back(
            {readFrameNumber(*frame), frame->presentationTime(), frame->width(), frame->height()});
    }
    return frames;
}

inline std::shared_ptr<PlayerItem> itemFor(const std::string& path) {
    return PlayerItem::create(Asset::assetWithURL(FileUrl::fromPath(path)));
}

}  // namespace cliploop::testing
