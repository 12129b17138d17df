// SipHash-1-3 of many byte runs in one call, several at a time in vector lanes
// where the processor has them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qm {

/// `size` bytes at `offset` from a base that the caller names.
struct ByteRun {
    size_t offset;
    size_t size;
};

/// Writes to `out[i]` the SipHash-1-3, under the all-zero key, of the bytes of
/// `runs[i]` from `base`, for i < `count`. Every run must be followed by at least
/// 7 readable bytes (of any value). The digests are those of `siphash13_padded`
/// on each run alone, on every processor.
void siphash13_padded_runs(const char* base, const ByteRun* runs, size_t count,
                           uint64_t* out) noexcept;

namespace detail {

/// The portable path: two runs at a time, interleaved in general registers.
void siphash13_padded_runs_scalar(const char* base, const ByteRun* runs, size_t count,
                                  uint64_t* out) noexcept;

/// The AVX2 path; false, writing nothing, where the processor or the build has
/// no AVX2. Exposed so that tests compare it with the portable path directly.
bool siphash13_padded_runs_avx2(const char* base, const ByteRun* runs, size_t count,
                                uint64_t* out) noexcept;

}  // namespace detail
}  // namespace qm
