#pragma once
// Whether a frame message describes a surface and region a client can read
// without going outside the memory it maps. Kept apart so that its edge cases
// can be tested on their own.
#include <cstdint>

#include "Protocol.h"

namespace cliploop::protocol {

inline bool frameGeometryIsSound(const FrameMessage& m) {
    if ((m.flags & ~kKnownFrameFlags) != 0 || m.frameNumber == 0) return false;
    if (m.surfaceWidth < 1 || m.surfaceHeight < 1 || m.surfaceWidth > kMaxSurfaceDimension ||
        m.surfaceHeight > kMaxSurfaceDimension) {
        return false;
    }
    if (m.bytesPerRow < m.surfaceWidth * 4 || m.bytesPerRow > kMaxSurfaceDimension * 8)
        return false;
    if (m.surfaceBytes !=
        static_cast<uint64_t>(m.bytesPerRow) * static_cast<uint64_t>(m.surfaceHeight)) {
        return false;
    }
    // Both sides are in range by now, so the subtractions cannot overflow.
    return m.regionX >= 0 && m.regionY >= 0 && m.regionWidth >= 1 && m.regionHeight >= 1 &&
           m.regionWidth <= m.surfaceWidth - m.regionX &&
           m.regionHeight <= m.surfaceHeight - m.regionY;
}

}  // namespace cliploop::protocol
