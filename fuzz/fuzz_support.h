// Helpers shared by the fuzz targets: invariant checks that abort, decoding of
// fuzz bytes into valid UTF-8 texts and edge-biased numbers, and small models.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "text/unicode_props.h"

namespace fuzz {

/// Reports the failed invariant and aborts, which libFuzzer records as a crash.
[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "invariant violated at %s:%d: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(cond)                                        \
    do {                                                        \
        if (!(cond)) ::fuzz::fail(#cond, __FILE__, __LINE__);   \
    } while (0)

/// Bytes of `in` with every malformed sequence (invalid lead, truncated,
/// overlong, surrogate, beyond U+10FFFF) replaced by '?': what a str can hold.
inline std::string to_valid_utf8(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        const auto b0 = static_cast<unsigned char>(in[i]);
        size_t len = 0;
        char32_t min = 0;
        char32_t cp = 0;
        if (b0 < 0x80) {
            out.push_back(static_cast<char>(b0));
            ++i;
            continue;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            len = 2, min = 0x80, cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            len = 3, min = 0x800, cp = b0 & 0x0F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            len = 4, min = 0x10000, cp = b0 & 0x07;
        }
        bool ok = len != 0 && i + len <= in.size();
        for (size_t k = 1; ok && k < len; ++k) {
            const auto b = static_cast<unsigned char>(in[i + k]);
            ok = (b & 0xC0) == 0x80;
            cp = (cp << 6) | (b & 0x3F);
        }
        ok = ok && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (ok) {
            out.append(in.substr(i, len));
            i += len;
        } else {
            out.push_back('?');
            ++i;
        }
    }
    return out;
}

/// True when `text` is well-formed UTF-8 (the check `to_valid_utf8` repairs).
inline bool is_valid_utf8(std::string_view text) { return to_valid_utf8(text) == text; }

/// Decodes well-formed UTF-8 into code points.
inline std::vector<char32_t> code_points(std::string_view text) {
    std::vector<char32_t> out;
    for (size_t i = 0; i < text.size();) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        const size_t len = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
        char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
        for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        out.push_back(cp);
        i += len;
    }
    return out;
}

/// Words of well-formed UTF-8 `text`: maximal runs without White_Space, as byte
/// ranges, found by decoding every character (no ASCII shortcut).
inline std::vector<std::string_view> reference_words(std::string_view text) {
    std::vector<std::string_view> words;
    size_t start = 0;
    bool in_word = false;
    for (size_t i = 0; i < text.size();) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        const size_t len = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
        const bool white = qm::is_white_space(code_points(text.substr(i, len)).front());
        if (white && in_word) words.push_back(text.substr(start, i - start));
        if (!white && !in_word) start = i;
        in_word = !white;
        i += len;
    }
    if (in_word) words.push_back(text.substr(start));
    return words;
}

/// Characters that make texts interesting for the word split, the lowercasing and
/// the digest cut: White_Space of every width, sigma, dotted I, multi-byte letters.
inline constexpr std::string_view kSpicy[] = {
    " ",  "\t", "\n", "\r", "\v", "\f", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80",
    "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
    "\xCE\xA3", "\xC4\xB0", "\xC3\xA3", "\xE2\x80\x8B", "\xF0\x9F\x98\x80", "\xE2\x80\xA6",
    "design", "must", "fn", "ok", "n\xC3\xA3o", "(", "{", ";", "0", "7",
};

/// A text from the fuzz bytes: a raw chunk repaired to UTF-8, sprinkled with
/// spicy characters, and sometimes repeated to reach long-text code paths.
inline std::string consume_text(FuzzedDataProvider& in, size_t max_chunk = 48) {
    const uint8_t shape = in.ConsumeIntegral<uint8_t>();
    std::string text = to_valid_utf8(in.ConsumeRandomLengthString(max_chunk));
    const size_t spices = shape & 0x07;
    for (size_t k = 0; k < spices && in.remaining_bytes() > 0; ++k) {
        const std::string_view spice = kSpicy[in.ConsumeIntegralInRange<size_t>(0, std::size(kSpicy) - 1)];
        const size_t at = text.empty() ? 0 : in.ConsumeIntegralInRange<size_t>(0, text.size());
        // Insert only at a character boundary so the text stays well-formed.
        size_t cut = at;
        while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
        text.insert(cut, spice);
    }
    if (shape & 0x80) {
        const size_t times = in.ConsumeIntegralInRange<size_t>(2, 64);
        std::string repeated;
        for (size_t k = 0; k < times; ++k) repeated += text;
        text = std::move(repeated);
    }
    return text;
}

/// A float from raw bits half of the time (NaN, infinities, subnormals, -0.0),
/// otherwise a value in [lo, hi].
inline float consume_float(FuzzedDataProvider& in, float lo, float hi) {
    if (in.ConsumeBool()) return std::bit_cast<float>(in.ConsumeIntegral<uint32_t>());
    return in.ConsumeFloatingPointInRange<float>(lo, hi);
}

/// Same bits, or both NaN: the model and the code agree on a value.
inline bool same_float(float a, float b) {
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b) || (std::isnan(a) && std::isnan(b));
}

}  // namespace fuzz
