// Minimal UTF-8 decoding for text that the interpreter has already validated.
#pragma once

#include <cstddef>
#include <string_view>

namespace qm::utf8 {

/// True for a byte that starts a character (not a continuation byte 0x80-0xBF).
constexpr bool is_char_start(unsigned char byte) noexcept { return (byte & 0xC0) != 0x80; }

/// The code point of the two-byte sequence `lead` (0xC0-0xDF), `next` (a
/// continuation byte); the caller has checked both.
constexpr char32_t decode_two_byte(unsigned char lead, unsigned char next) noexcept {
    return (char32_t{lead} & 0x1F) << 6 | (next & 0x3F);
}

/// The code point of the well-formed two-byte character (U+0080 to U+07FF) that
/// starts at `p`, of which `available` bytes may be read; 0, which no such
/// character decodes to, when there is none. Latin, Greek and Cyrillic letters
/// beyond ASCII are such characters, so the fast paths of the text kernels ask this.
constexpr char32_t two_byte_at(const char* p, size_t available) noexcept {
    if (available < 2) return 0;
    const auto lead = static_cast<unsigned char>(p[0]);
    const auto next = static_cast<unsigned char>(p[1]);
    if (lead < 0xC2 || lead > 0xDF || (next & 0xC0) != 0x80) return 0;
    return decode_two_byte(lead, next);
}

/// Writes `cp` (U+0080 to U+07FF) as its two bytes at `out`.
constexpr void encode_two_byte(char32_t cp, char* out) noexcept {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
}

/// Decodes the character at `pos` and advances `pos` past it. A malformed byte is
/// returned as itself and skipped alone, so decoding always makes progress.
constexpr char32_t decode(std::string_view text, size_t& pos) noexcept {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || pos + length > text.size()) {
        ++pos;
        return lead;
    }
    if (length == 1) {
        ++pos;
        return lead;
    }
    char32_t cp = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(pos + i);
        if (is_char_start(next)) {
            ++pos;
            return lead;
        }
        cp = (cp << 6) | (next & 0x3F);
    }
    pos += length;
    return cp;
}

}  // namespace qm::utf8
