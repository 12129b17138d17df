// Text form of a signal.
#include "hormonal_signal.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace qm {

std::string signal_repr(const HormonalSignal& signal) {
    // FLT_MAX in fixed point is 39 digits; with sign and ".000" it fits easily.
    char value[64] = {};
    const float x = signal.intensity;
    if (std::isnan(x)) {
        std::snprintf(value, sizeof value, "NaN");
    } else if (std::isinf(x)) {
        std::snprintf(value, sizeof value, x > 0 ? "inf" : "-inf");
    } else {
        // Widening is exact, and to_chars rounds the exact binary value to
        // nearest, ties to even: the digits the float itself stands for. Unlike
        // printf it ignores the C locale, which a host program may have changed.
        std::to_chars(value, value + sizeof value - 1, static_cast<double>(x),
                      std::chars_format::fixed, 3);
    }
    char text[128];
    std::snprintf(text, sizeof text, "HormonalSignal(flags=0x%X, intensity=%s)",
                  static_cast<unsigned>(signal.flags), value);
    return text;
}

}  // namespace qm
