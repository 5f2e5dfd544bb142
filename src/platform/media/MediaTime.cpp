#include <algorithm>
#include <cmath>
#include <limits>

#include "media/MediaEngine.h"

namespace cliploop {

namespace {
__extension__ using Int128 = __int128;
}  // namespace

MediaTime MediaTime::fromSeconds(double seconds, int32_t timescale) {
    if (timescale <= 0 || std::isnan(seconds)) return invalid();
    // Saturate instead of overflowing: a clock read far beyond any clip's end
    // must still compare as "later", never wrap around.
    const double limit = static_cast<double>(std::numeric_limits<int64_t>::max()) / 2;
    const double ticks = std::clamp(std::round(seconds * timescale), -limit, limit);
    return {static_cast<int64_t>(ticks), timescale};
}

double MediaTime::seconds() const {
    if (!isValid()) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(value) / timescale;
}

int compare(MediaTime a, MediaTime b) {
    // Invalid times sort before every valid time and equal each other.
    if (!a.isValid() || !b.isValid()) return (a.isValid() ? 1 : 0) - (b.isValid() ? 1 : 0);
    // Exact cross-multiplication: timescales are 32-bit, values 64-bit.
    const Int128 left = static_cast<Int128>(a.value) * b.timescale;
    const Int128 right = static_cast<Int128>(b.value) * a.timescale;
    return left < right ? -1 : (left > right ? 1 : 0);
}

}  // namespace cliploop
