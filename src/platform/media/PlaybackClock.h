#pragma once
// The clock of the current item: item time as a function of host time,
// itemTime = anchorItem + (host - anchorHost) * rate, held at the item's start
// while the item waits for its first frame and at its end once it ran out.
// A plain value; its owner (ItemState) guards it.
#include <algorithm>
#include <limits>
#include <optional>

namespace cliploop {

struct PlaybackClock {
    bool running = false;  // the item is its player's current item
    bool waiting = false;  // current, but its first frame is not decoded yet
    double anchorHost = 0;
    double anchorItem = 0;
    double rate = 0;

    // Item time in seconds at `host`, never before the anchor (a host time
    // read just before the item became current still gives its first frame)
    // and never past `end`.
    double itemTime(double host, double end = std::numeric_limits<double>::infinity()) const {
        if (waiting) return std::min(anchorItem, end);
        const double elapsed = std::max(0.0, host - anchorHost);
        return std::min(anchorItem + elapsed * rate, end);
    }

    // The host time at which the item time reaches `item`, if it ever will.
    std::optional<double> hostTimeAt(double item) const {
        if (!running || waiting || rate <= 0) return std::nullopt;
        if (item <= anchorItem) return anchorHost;
        return anchorHost + (item - anchorItem) / rate;
    }

    // Continues from the item time at `host` at a new rate.
    void rebase(double host, double newRate, double end) {
        if (!waiting) {
            anchorItem = itemTime(host, end);
            anchorHost = std::max(host, anchorHost);
        }
        rate = newRate;
    }
};

}  // namespace cliploop
