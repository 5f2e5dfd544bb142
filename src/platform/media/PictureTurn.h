#pragma once
// Turning a BGRA picture a quarter, half or three quarters clockwise, as a
// file's display matrix asks: the decoded frames and the clip pictures turn
// the same way.
#include <cstdint>

namespace cliploop {

// Writes `in` (width x height pixels, inStride bytes a row) turned clockwise
// by `degrees` (90, 180 or 270) into `out`, which is height x width pixels
// for a quarter turn and width x height for a half one, outStride bytes a row.
void turnPicture(const uint8_t* in, int width, int height, int inStride, uint8_t* out,
                 int outStride, int degrees);

}  // namespace cliploop
