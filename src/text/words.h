// The word split shared by digests, the effort gauge and the saturation scan:
// cut at every White_Space character, keep the non-empty pieces in order.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "ascii_block.h"
#include "unicode_props.h"
#include "utf8.h"

namespace qm {

/// The words are views into the text itself.
struct NoLowering {
    static constexpr bool kCopies = false;

    /// The White_Space bytes of the sixteen at `in`; false when some are not ASCII.
    bool block(const char* in, size_t, ascii::Mask& white) noexcept {
        if (ascii::simd::non_ascii(in) != 0) return false;
        white = ascii::simd::white(in);
        return true;
    }

    /// Steps over the character at `pos`; true when the split sees White_Space there.
    size_t step(std::string_view text, size_t& pos, size_t, bool& white) noexcept {
        const size_t start = pos;
        const auto byte = static_cast<unsigned char>(text[pos]);
        if (byte < 0x80) {
            white = ascii::is_white(byte);
            ++pos;
        } else {
            white = is_white_space(utf8::decode(text, pos));
        }
        return pos - start;
    }
};

/// The text is lowercased into `out` as it is split (as `append_lowercase` would
/// lowercase it), and the words are views into that copy, which never moves.
/// Lowercasing neither creates nor removes White_Space, so the words are the
/// lowercase of the text's words. ASCII digits and the code symbols are counted
/// on the way, from the masks the block lowering computes anyway.
struct LowerInto {
    static constexpr bool kCopies = true;

    /// Room for the lowercase of a text of `n` bytes: a character grows by at most
    /// half its bytes (two to three), and the last one may be written whole.
    static constexpr size_t capacity_for(size_t n) noexcept {
        return n + n / 2 + kMaxLowercaseBytes + ascii::kBlock;
    }

    char* out;
    size_t capacity;
    uint64_t digits = 0;
    uint64_t symbols = 0;
    const uint16_t* two_byte = two_byte_lowercase_table();

    /// Lowers a block whose characters outside ASCII are each two bytes that
    /// lowercase to two bytes (accented Latin and the like), so that it keeps its
    /// length and its layout; false for any other block.
    bool block(const char* in, size_t o, ascii::Mask& white) noexcept {
        ascii::Mask others = ascii::simd::non_ascii(in);
        ascii::Mask patched = 0;
        ascii::Mask wide_white = 0;
        while (others != 0) {
            const int i = std::countr_zero(others);
            // A character cut by the block's end is left to the character steps.
            if (i == ascii::kBlock - 1) return false;
            const char32_t cp = utf8::two_byte_at(in + i, 2);
            if (cp == 0) return false;
            const uint16_t entry = two_byte[cp];
            if (entry == 0) return false;
            // Most such letters are lowercase already; the copy then keeps them.
            patched |= ascii::Mask{(entry & 0x7FF) != cp} << i;
            if (entry & 0x8000) wide_white |= ascii::Mask{3} << i;
            others &= ~(ascii::Mask{3} << i);
        }
        const ascii::BlockMasks m = ascii::simd::lower(in, out + o);
        for (ascii::Mask p = patched; p != 0; p &= p - 1) {
            const int i = std::countr_zero(p);
            const char32_t cp = utf8::decode_two_byte(static_cast<unsigned char>(in[i]),
                                                      static_cast<unsigned char>(in[i + 1]));
            utf8::encode_two_byte(two_byte[cp] & 0x7FF, out + o + i);
        }
        if ((m.digits | m.symbols) != 0) {
            digits += ascii::count(m.digits);
            symbols += ascii::count(m.symbols);
        }
        white = m.white | wide_white;
        return true;
    }

    /// Lowers the character at `pos` to `out + o`; returns the bytes written.
    size_t step(std::string_view text, size_t& pos, size_t o, bool& white) {
        const auto byte = static_cast<unsigned char>(text[pos]);
        if (byte < 0x80) {
            out[o] = static_cast<char>(ascii::to_lower(byte));
            white = ascii::is_white(byte);
            digits += static_cast<unsigned>(byte - '0') < 10u;
            symbols += ascii::is_symbol(byte);
            ++pos;
            return 1;
        }
        if (o + kMaxLowercaseBytes > capacity) throw std::logic_error("lowercase overflow");
        return lowercase_char(text, pos, out + o, white);
    }
};

/// Calls `on_word(std::string_view)` for each word of `text`, lowered by
/// `lowering`. A block of sixteen bytes is split from two masks, without a branch
/// per byte; a block the lowering cannot take whole (and the short tail) is
/// stepped one character at a time. Returns the bytes of the words' text (for
/// `LowerInto`, the length of the copy).
template <class Lowering, class F>
size_t scan_words(std::string_view text, Lowering& result, F&& on_word) {
    // A copy of its own, whose address never escapes: its counters and pointers
    // then stay in registers across the calls that `on_word` makes, which could
    // otherwise write to the caller's.
    Lowering lowering = result;
    const char* const base = [&] {
        if constexpr (Lowering::kCopies) return lowering.out; else return text.data();
    }();
    const size_t n = text.size();
    size_t pos = 0;
    size_t o = 0;  // where `pos` lands in the words' text: `pos` itself unless copying
    const auto at = [&] {
        if constexpr (Lowering::kCopies) return o; else return pos;
    };
    size_t start = 0;
    bool in_word = false;
    while (pos < n) {
        ascii::Mask white;
        if (n - pos >= ascii::kBlock && lowering.block(text.data() + pos, at(), white)) {
            const ascii::Mask word_bytes = ~white & 0xFFFF;
            // Bit i: byte i starts a word or ends one.
            ascii::Mask edges = (word_bytes ^ (word_bytes << 1 | ascii::Mask{in_word})) & 0xFFFF;
            while (edges != 0) {
                const int i = std::countr_zero(edges);
                edges &= edges - 1;
                const size_t edge = at() + static_cast<size_t>(i);
                if (word_bytes >> i & 1) {
                    start = edge;
                } else {
                    on_word(std::string_view(base + start, edge - start));
                }
            }
            in_word = word_bytes >> 15 & 1;
            pos += ascii::kBlock;
            if constexpr (Lowering::kCopies) o += ascii::kBlock;
            continue;
        }
        const size_t stop = std::min(n, pos + ascii::kBlock);
        while (pos < stop) {
            const size_t here = at();
            bool white_char;
            [[maybe_unused]] const size_t written = lowering.step(text, pos, here, white_char);
            if (white_char) {
                if (in_word) on_word(std::string_view(base + start, here - start));
                in_word = false;
            } else if (!in_word) {
                in_word = true;
                start = here;
            }
            if constexpr (Lowering::kCopies) o += written;
        }
    }
    if (in_word) on_word(std::string_view(base + start, at() - start));
    result = lowering;
    return at();
}

/// Calls `on_word(std::string_view)` for each word of `text`, as views into it.
template <class F>
void for_each_word(std::string_view text, F&& on_word) {
    NoLowering views;
    scan_words(text, views, on_word);
}

}  // namespace qm
