#pragma once
// A QSlider standing for a float value: its integer position times the
// slider's "valueScale" property (1 when unset), so that a slider from 0 to
// 400 with valueScale 0.01 gives 0.00 to 4.00 in steps of 0.01.
#include <QSlider>

namespace cliploop {

inline double sliderFloatValue(const QSlider& slider) {
    const QVariant scale = slider.property("valueScale");
    return slider.value() * (scale.isValid() ? scale.toDouble() : 1.0);
}

}  // namespace cliploop
