// Unicode character properties and the full lowercase mapping, looked up in
// tables generated from the Unicode Character Database (unicode_tables.inc).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

/// Property bits of one code point, as `unicode_property_bits` returns them.
namespace uprop {
inline constexpr uint8_t kWhiteSpace = 0x01;
inline constexpr uint8_t kAlphabetic = 0x02;
inline constexpr uint8_t kNumeric = 0x04;  // general category Nd, Nl or No
inline constexpr uint8_t kCased = 0x08;
inline constexpr uint8_t kCaseIgnorable = 0x10;
inline constexpr uint8_t kAssigned = 0x20;  // general category other than Cn
}  // namespace uprop

/// Longest full lowercase mapping of a single code point, in code points.
inline constexpr size_t kMaxLowercaseLength = 3;

/// The Unicode version the tables were generated from, e.g. "15.0.0".
const char* unicode_version() noexcept;

/// The `uprop` bits of `cp`; 0 for values beyond U+10FFFF.
uint8_t unicode_property_bits(char32_t cp) noexcept;

/// The White_Space property of the Unicode Character Database.
bool is_white_space(char32_t cp) noexcept;

/// The Alphabetic property (DerivedCoreProperties).
bool is_alphabetic(char32_t cp) noexcept;

/// General category Nd, Nl or No.
bool is_numeric(char32_t cp) noexcept;

/// Alphabetic or numeric: the characters that word trimming keeps.
bool is_alphanumeric(char32_t cp) noexcept;

/// The Cased property (DerivedCoreProperties).
bool is_cased(char32_t cp) noexcept;

/// The Case_Ignorable property (DerivedCoreProperties).
bool is_case_ignorable(char32_t cp) noexcept;

/// Writes the full, context-free lowercase of `cp` to `out` and returns its
/// length (1 to kMaxLowercaseLength); code points without a mapping map to themselves.
size_t lowercase_mapping(char32_t cp, char32_t (&out)[kMaxLowercaseLength]) noexcept;

/// Appends the lowercase of the UTF-8 text `utf8` to `out`: the full
/// language-independent mapping plus the Final_Sigma rule for U+03A3. Bytes
/// that are not well-formed UTF-8 are copied unchanged.
void append_lowercase(std::string& out, std::string_view utf8);

}  // namespace qm
