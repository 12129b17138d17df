// Correctly rounded single-precision 2^x, the same bits on every platform and compiler.
#pragma once

#include <cstdint>
#include <span>

namespace qm {

/// 2^x rounded once to the nearest float, ties to even, as a correctly rounded
/// exp2f does on its whole domain: NaN stays NaN, 2^+inf = +inf, 2^-inf = +0,
/// 2^-0 = 1, results below half the smallest subnormal become +0 and results
/// beyond the largest float become +inf. Uses no C library function.
float exp2_correctly_rounded(float x) noexcept;

namespace exp2_detail {

/// An input whose 2^x lies so close to a rounding midpoint that the double
/// evaluation cannot decide the rounding, with its correctly rounded result.
struct HardCase {
    uint32_t x_bits;
    uint32_t result_bits;
};

/// Every float x in (-150, 128) whose exact 2^x, scaled by 2^-floor(x) into
/// [1, 2), lies within kHardCaseUnits * 2^-52 of a rounding midpoint; sorted by
/// x_bits. tools/exp2_check regenerates and verifies this list.
std::span<const HardCase> hard_cases() noexcept;

/// The width, in units of 2^-52 of the scaled result, that defines a hard case.
inline constexpr int kHardCaseUnits = 8;

}  // namespace exp2_detail

}  // namespace qm
