#pragma once
// A published frame's extent and region, given in doubles, turned into the
// whole pixels a frame message carries. Kept apart so that its edge cases can
// be tested on their own.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "sharing/client/Protocol.h"

namespace cliploop::frameregion {

// A pixel count from a published extent: finite, 1 to the surface limit; a
// fraction is dropped.
inline std::optional<int32_t> pixelsOf(double extent) {
    if (!std::isfinite(extent) || extent < 1 || extent > protocol::kMaxSurfaceDimension) {
        return std::nullopt;
    }
    return static_cast<int32_t>(extent);
}

struct Span {
    int32_t start = 0;
    int32_t length = 0;
    bool operator==(const Span&) const = default;
};

// [start, start + length) widened to whole pixels and clipped to [0, limit);
// nullopt when nothing of it is left. An empty or negative length covers no
// pixel, wherever it starts.
inline std::optional<Span> clipSpan(double start, double length, int32_t limit) {
    if (!std::isfinite(start) || !std::isfinite(length) || !(length > 0)) return std::nullopt;
    const double from = std::max(0.0, std::floor(start));
    const double to = std::min(static_cast<double>(limit), std::ceil(start + length));
    if (!(to > from)) return std::nullopt;
    return Span{static_cast<int32_t>(from), static_cast<int32_t>(to - from)};
}

}  // namespace cliploop::frameregion
