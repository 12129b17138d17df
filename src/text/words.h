// The word split shared by digests, the effort gauge and the saturation scan:
// cut at every White_Space character, keep the non-empty pieces in order.
#pragma once

#include <cstddef>
#include <string_view>

#include "unicode_props.h"
#include "utf8.h"

namespace qm {

/// Calls `on_word(std::string_view)` for each word of `text`, as views into it.
template <class F>
void for_each_word(std::string_view text, F&& on_word) {
    size_t start = 0;
    size_t pos = 0;
    bool in_word = false;
    while (pos < text.size()) {
        const unsigned char byte = static_cast<unsigned char>(text[pos]);
        size_t next = pos;
        bool white;
        if (byte < 0x80) {
            // ASCII fast path: tab, LF, VT, FF, CR and space.
            white = byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
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
    if (in_word) on_word(text.substr(start));
}

}  // namespace qm
