// The cache line: the size that lock-free structures pad their hot atomics to, and
// the hint that fetches one ahead of a lookup.
#pragma once

#include <cstddef>

#if !defined(__GNUC__) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

namespace qm {

/// Cache-line size of the targets we build for; atomics written by different
/// groups of threads are kept on lines of their own.
inline constexpr std::size_t kCacheLine = 64;

/// Asks for the line holding `p` ahead of a read. Only a hint: where the compiler
/// offers none it does nothing, and no result depends on it.
inline void prefetch_line(const void* p) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#elif defined(_M_X64) || defined(_M_IX86)
    _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#else
    (void)p;
#endif
}

}  // namespace qm
