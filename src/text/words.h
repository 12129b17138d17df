// The word split shared by digests, the effort gauge and the saturation scan:
// cut at every White_Space character, keep the non-empty pieces in order.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <string_view>

#include "ascii_block.h"
#include "unicode_props.h"
#include "utf8.h"

namespace qm {

/// Calls `on_word(std::string_view)` for each word of `text`, as views into it.
/// A block of sixteen ASCII bytes is split from two masks, without a branch per
/// byte; other bytes are decoded one character at a time.
template <class F>
void for_each_word(std::string_view text, F&& on_word) {
    const size_t n = text.size();
    size_t start = 0;
    bool in_word = false;
    size_t pos = 0;
    while (pos < n) {
        if (n - pos >= ascii::kBlock && ascii::simd::non_ascii(text.data() + pos) == 0) {
            const ascii::Mask word_bytes = ~ascii::simd::white(text.data() + pos) & 0xFFFF;
            // Bit i: byte i starts a word or ends one.
            ascii::Mask edges = (word_bytes ^ (word_bytes << 1 | ascii::Mask{in_word})) & 0xFFFF;
            while (edges != 0) {
                const size_t at = pos + static_cast<size_t>(std::countr_zero(edges));
                if (word_bytes >> (at - pos) & 1) {
                    start = at;
                } else {
                    on_word(text.substr(start, at - start));
                }
                edges &= edges - 1;
            }
            in_word = word_bytes >> 15 & 1;
            pos += ascii::kBlock;
            continue;
        }
        const size_t stop = std::min(n, pos + ascii::kBlock);
        while (pos < stop) {
            const auto byte = static_cast<unsigned char>(text[pos]);
            size_t next = pos;
            bool white;
            if (byte < 0x80) {
                white = ascii::is_white(byte);
                next = pos + 1;
            } else {
                white = is_white_space(utf8::decode(text, next));
            }
            if (white) {
                if (in_word) on_word(text.substr(start, pos - start));
                in_word = false;
            } else if (!in_word) {
                in_word = true;
                start = pos;
            }
            pos = next;
        }
    }
    if (in_word) on_word(text.substr(start));
}

}  // namespace qm
