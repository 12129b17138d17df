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

/// Most bytes that `lowercase_char` writes for one character.
inline constexpr size_t kMaxLowercaseBytes = 4 * kMaxLowercaseLength;

/// Lowercases the one character of `text` that starts at `pos` exactly as
/// `append_lowercase` does (Final_Sigma looks at the whole `text`; a malformed
/// byte is copied alone), writes its bytes to `out` (room for kMaxLowercaseBytes)
/// and moves `pos` past it. Returns the number of bytes written; `white` tells
/// whether the word split sees White_Space in them: they decode to one White_Space
/// character, or to a lone byte whose value is one (as `utf8::decode` reads it).
size_t lowercase_char(std::string_view text, size_t& pos, char* out, bool& white) noexcept;

/// Per code point below U+0800: its lowercase when that is one character of two
/// UTF-8 bytes again (as for most Latin, Greek and Cyrillic letters), with bit 15
/// set when the character is White_Space; 0 where `lowercase_char` must decide
/// (ASCII, the capital sigma, mappings to other lengths).
const uint16_t* two_byte_lowercase_table() noexcept;

/// Appends the lowercase of the UTF-8 text `utf8` to `out`: the full
/// language-independent mapping plus the Final_Sigma rule for U+03A3. Bytes
/// that are not well-formed UTF-8 are copied unchanged.
void append_lowercase(std::string& out, std::string_view utf8);

}  // namespace qm
