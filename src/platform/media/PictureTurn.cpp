#include "media/PictureTurn.h"

#include <cstddef>
#include <cstring>

namespace cliploop {

void turnPicture(const uint8_t* in, int width, int height, int inStride, uint8_t* out,
                 int outStride, int degrees) {
    const bool quarter = degrees % 180 != 0;
    const int outWidth = quarter ? height : width;
    const int outHeight = quarter ? width : height;
    // Output pixel (x, y) takes the source pixel that the turn brings there;
    // rows of the output are written in order so the stores stay sequential.
    for (int y = 0; y < outHeight; ++y) {
        uint8_t* row = out + static_cast<size_t>(y) * outStride;
        for (int x = 0; x < outWidth; ++x) {
            int sx, sy;
            if (degrees == 90) {
                sx = y;
                sy = height - 1 - x;
            } else if (degrees == 180) {
                sx = width - 1 - x;
                sy = height - 1 - y;
            } else {
                sx = width - 1 - y;
                sy = x;
            }
            std::memcpy(row + static_cast<size_t>(x) * 4,
                        in + static_cast<size_t>(sy) * inStride + static_cast<size_t>(sx) * 4, 4);
        }
    }
}

}  // namespace cliploop
