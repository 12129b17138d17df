// The value a caller deposits into a bus, and the trace the bus buffers for it.
#pragma once

#include <cstdint>
#include <string>

namespace qm {

/// Channel bits and the amount added to each addressed channel. Neither field is
/// validated: every bit pattern and every float, NaN included, is a signal.
struct HormonalSignal {
    uint32_t flags = 0;
    float intensity = 1.0f;
};

/// "HormonalSignal(flags=0xFF, intensity=0.500)": hex without padding, three
/// decimals rounded from the exact single-precision value, "NaN", "inf", "-inf".
std::string signal_repr(const HormonalSignal& signal);

}  // namespace qm
