// Sixteen ASCII bytes at a time: the masks and the lowercasing that the text
// kernels need on the ASCII stretches of a text. SSE2 (the x86-64 baseline) and
// NEON (the arm64 baseline) versions sit beside a portable scalar one that gives
// the same bits; tests/native/text_kernels_test.cpp holds them to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define QM_ASCII_SSE2 1
#elif defined(__aarch64__) || defined(_M_ARM64)
#include <arm_neon.h>
#define QM_ASCII_NEON 1
#endif

namespace qm::ascii {

inline constexpr size_t kBlock = 16;

/// Bit i set for byte i of the block; only the low 16 bits are used.
using Mask = uint32_t;

/// The masks of one block: only ASCII bytes can match them.
struct BlockMasks {
    Mask white;    // tab, line feed, vertical tab, form feed, carriage return, space
    Mask digits;   // '0' to '9'
    Mask symbols;  // ( ) ; < = > ` { }
};

/// The number of bits set in a 16-bit mask, without a library call on targets
/// that have no population-count instruction in their baseline.
inline unsigned count(Mask m) noexcept {
    m = m - ((m >> 1) & 0x5555);
    m = (m & 0x3333) + ((m >> 2) & 0x3333);
    m = (m + (m >> 4)) & 0x0F0F;
    return (m + (m >> 8)) & 0x1F;
}

inline bool is_white(unsigned char b) noexcept { return b == ' ' || (b >= 0x09 && b <= 0x0D); }
inline bool is_symbol(unsigned char b) noexcept {
    return b == '(' || b == ')' || b == ';' || b == '<' || b == '=' || b == '>' || b == '`' ||
           b == '{' || b == '}';
}
inline unsigned char to_lower(unsigned char b) noexcept {
    return static_cast<unsigned>(b - 'A') < 26u ? static_cast<unsigned char>(b | 0x20) : b;
}

// The interpreter's regular-expression classes on ASCII, for the finders written against
// the chat layer's expressions: \d, a letter, \w.
inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
inline bool is_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline bool is_word(char c) noexcept { return is_letter(c) || is_digit(c) || c == '_'; }

/// End of the run of characters of `in_run` from `at`.
template <class Pred>
size_t run_end(std::string_view s, size_t at, Pred in_run) noexcept {
    while (at < s.size() && in_run(s[at])) ++at;
    return at;
}

namespace scalar {

/// Bytes of the block at or above 0x80.
inline Mask non_ascii(const char* p) noexcept {
    Mask m = 0;
    for (size_t i = 0; i < kBlock; ++i) m |= Mask{static_cast<unsigned char>(p[i]) >= 0x80} << i;
    return m;
}

/// White-space bytes of the block (any bytes; only ASCII ones can match).
inline Mask white(const char* p) noexcept {
    Mask m = 0;
    for (size_t i = 0; i < kBlock; ++i) m |= Mask{is_white(static_cast<unsigned char>(p[i]))} << i;
    return m;
}

/// Lowercases the ASCII letters of a block into `out` (other bytes are copied
/// unchanged) and returns its masks.
inline BlockMasks lower(const char* in, char* out) noexcept {
    BlockMasks m{0, 0, 0};
    for (size_t i = 0; i < kBlock; ++i) {
        const auto b = static_cast<unsigned char>(in[i]);
        out[i] = static_cast<char>(to_lower(b));
        m.white |= Mask{is_white(b)} << i;
        m.digits |= Mask{b >= '0' && b <= '9'} << i;
        m.symbols |= Mask{is_symbol(b)} << i;
    }
    return m;
}

}  // namespace scalar

#if defined(QM_ASCII_SSE2)
namespace simd {

inline Mask non_ascii(const char* p) noexcept {
    return static_cast<Mask>(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}

/// Signed compares are exact here: bytes at or above 0x80 are negative, below every
/// ASCII range asked about.
inline __m128i white_of(__m128i v) noexcept {
    const __m128i space = _mm_cmpeq_epi8(v, _mm_set1_epi8(' '));
    const __m128i controls = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x08)),
                                           _mm_cmplt_epi8(v, _mm_set1_epi8(0x0E)));
    return _mm_or_si128(space, controls);
}

inline Mask white(const char* p) noexcept {
    // Bytes at or above 0x80 are negative as signed bytes: never in 0x09..0x0D.
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return static_cast<Mask>(_mm_movemask_epi8(white_of(v)));
}

inline BlockMasks lower(const char* in, char* out) noexcept {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('A' - 1)),
                                        _mm_cmplt_epi8(v, _mm_set1_epi8('Z' + 1)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_or_si128(v, _mm_and_si128(upper, _mm_set1_epi8(0x20))));
    const __m128i digits = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)),
                                         _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
    __m128i symbols = _mm_cmpeq_epi8(v, _mm_set1_epi8('('));
    for (char c : {')', ';', '<', '=', '>', '`', '{', '}'}) {
        symbols = _mm_or_si128(symbols, _mm_cmpeq_epi8(v, _mm_set1_epi8(c)));
    }
    return {static_cast<Mask>(_mm_movemask_epi8(white_of(v))),
            static_cast<Mask>(_mm_movemask_epi8(digits)),
            static_cast<Mask>(_mm_movemask_epi8(symbols))};
}

}  // namespace simd
#elif defined(QM_ASCII_NEON)
namespace simd {

/// The top bit of each byte of `v` (0x00 or 0xFF lanes) gathered into 16 bits.
inline Mask movemask(uint8x16_t v) noexcept {
    static const uint8_t kBits[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    // The lanes are all-ones or zero, so masking keeps each lane's own bit (a lane
    // shifted down to 0 or 1 first would keep only the bit of lanes 0 and 8).
    const uint8x16_t picked = vandq_u8(v, vld1q_u8(kBits));
    // Each half's bits are distinct powers of two: their sum is their OR.
    return Mask{vaddv_u8(vget_low_u8(picked))} | Mask{vaddv_u8(vget_high_u8(picked))} << 8;
}

inline Mask non_ascii(const char* p) noexcept {
    return movemask(vcgeq_u8(vld1q_u8(reinterpret_cast<const uint8_t*>(p)), vdupq_n_u8(0x80)));
}

inline uint8x16_t white_of(uint8x16_t v) noexcept {
    const uint8x16_t space = vceqq_u8(v, vdupq_n_u8(' '));
    const uint8x16_t controls = vcltq_u8(vsubq_u8(v, vdupq_n_u8(0x09)), vdupq_n_u8(5));
    return vorrq_u8(space, controls);
}

inline Mask white(const char* p) noexcept {
    return movemask(white_of(vld1q_u8(reinterpret_cast<const uint8_t*>(p))));
}

inline BlockMasks lower(const char* in, char* out) noexcept {
    const uint8x16_t v = vld1q_u8(reinterpret_cast<const uint8_t*>(in));
    const uint8x16_t upper = vcltq_u8(vsubq_u8(v, vdupq_n_u8('A')), vdupq_n_u8(26));
    vst1q_u8(reinterpret_cast<uint8_t*>(out), vorrq_u8(v, vandq_u8(upper, vdupq_n_u8(0x20))));
    const uint8x16_t digits = vcltq_u8(vsubq_u8(v, vdupq_n_u8('0')), vdupq_n_u8(10));
    uint8x16_t symbols = vceqq_u8(v, vdupq_n_u8('('));
    for (char c : {')', ';', '<', '=', '>', '`', '{', '}'}) {
        symbols = vorrq_u8(symbols, vceqq_u8(v, vdupq_n_u8(static_cast<uint8_t>(c))));
    }
    return {movemask(white_of(v)), movemask(digits), movemask(symbols)};
}

}  // namespace simd
#else
namespace simd = scalar;
#endif

}  // namespace qm::ascii
