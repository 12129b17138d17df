// A decimal number's value as the interpreter's float() reads it, bit for bit.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>
#include <system_error>

namespace qm {

/// `float(text)` of a number of an optional '-', digits, and an optional '.' and digits.
/// The digits as one integer over a power of ten are two exact doubles while the integer
/// is below 2^53, so their quotient is correctly rounded, as the interpreter's parse is.
/// Longer numbers go to from_chars, also correctly rounded, where the library has it for
/// double, and nullopt otherwise.
inline std::optional<double> number_value(std::string_view text) noexcept {
    static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const bool negative = text[0] == '-';
    uint64_t digits = 0;
    size_t scale = 0;
    bool fraction = false;
    for (size_t i = negative; i < text.size(); ++i) {
        if (text[i] == '.') {
            fraction = true;
            continue;
        }
        digits = digits * 10 + static_cast<uint64_t>(text[i] - '0');
        scale += fraction;
        if (digits >= (uint64_t{1} << 53)) {
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
            double value = 0.0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (error == std::errc() && end == text.data() + text.size()) return value;
#endif
            return std::nullopt;
        }
    }
    const double value = static_cast<double>(digits) / kPowers[scale];
    return negative ? -value : value;
}

}  // namespace qm
