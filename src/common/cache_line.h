// The cache-line size that lock-free structures pad their hot atomics to.
#pragma once

#include <cstddef>

namespace qm {

/// Cache-line size of the targets we build for; atomics written by different
/// groups of threads are kept on lines of their own.
inline constexpr std::size_t kCacheLine = 64;

}  // namespace qm
