// Many SipHash-1-3 digests per call. One digest is a chain of dependent rounds
// that leaves most of the processor idle; lanes fill it. Vector lanes must all
// take the same number of rounds, so the runs are first sorted by their count of
// 8-byte blocks, and each group of equal counts is hashed in lockstep. Integer
// lanes compute exactly what the scalar rounds do, so no digest depends on the path.
#include "siphash_runs.h"

#include "siphash.h"

// The AVX2 lanes need gcc's or clang's target attribute and run-time CPU check;
// MSVC and clang-cl (whose check needs a runtime they do not link) take the
// two-at-a-time scalar path, which gives the same digests.
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(_MSC_VER)
#define QM_SIPHASH_AVX2 1
#include <immintrin.h>
#endif

namespace qm {
namespace detail {

void siphash13_padded_runs_scalar(const char* base, const ByteRun* runs, size_t count,
                                  uint64_t* out) noexcept {
    size_t i = 0;
    for (; i + 1 < count; i += 2) {
        siphash13_padded_pair(base + runs[i].offset, runs[i].size, base + runs[i + 1].offset,
                              runs[i + 1].size, out[i], out[i + 1]);
    }
    if (i < count) out[i] = siphash13_padded(0, 0, base + runs[i].offset, runs[i].size);
}

#ifdef QM_SIPHASH_AVX2
namespace {

#define QM_AVX2 __attribute__((target("avx2")))

template <int Bits>
QM_AVX2 inline __m256i rotl(__m256i x) {
    if constexpr (Bits == 32) {
        return _mm256_shuffle_epi32(x, 0xB1);  // swap the halves of each word
    } else if constexpr (Bits == 16) {
        // Byte i of each word takes byte i - 2 (mod 8).
        const __m256i order = _mm256_setr_epi8(6, 7, 0, 1, 2, 3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13,
                                               6, 7, 0, 1, 2, 3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13);
        return _mm256_shuffle_epi8(x, order);
    } else {
        return _mm256_or_si256(_mm256_slli_epi64(x, Bits), _mm256_srli_epi64(x, 64 - Bits));
    }
}

/// `Groups` sets of four SipHash states, one per lane; the sets are independent,
/// so their rounds overlap.
template <int Groups>
struct LaneStates {
    __m256i v0[Groups], v1[Groups], v2[Groups], v3[Groups];

    QM_AVX2 LaneStates() {
        for (int g = 0; g < Groups; ++g) {
            v0[g] = _mm256_set1_epi64x(static_cast<long long>(sip::kInit0));
            v1[g] = _mm256_set1_epi64x(static_cast<long long>(sip::kInit1));
            v2[g] = _mm256_set1_epi64x(static_cast<long long>(sip::kInit2));
            v3[g] = _mm256_set1_epi64x(static_cast<long long>(sip::kInit3));
        }
    }

    QM_AVX2 void round() {
        for (int g = 0; g < Groups; ++g) {
            v0[g] = _mm256_add_epi64(v0[g], v1[g]);
            v1[g] = _mm256_xor_si256(rotl<13>(v1[g]), v0[g]);
            v0[g] = rotl<32>(v0[g]);
            v2[g] = _mm256_add_epi64(v2[g], v3[g]);
            v3[g] = _mm256_xor_si256(rotl<16>(v3[g]), v2[g]);
            v0[g] = _mm256_add_epi64(v0[g], v3[g]);
            v3[g] = _mm256_xor_si256(rotl<21>(v3[g]), v0[g]);
            v2[g] = _mm256_add_epi64(v2[g], v1[g]);
            v1[g] = _mm256_xor_si256(rotl<17>(v1[g]), v2[g]);
            v2[g] = rotl<32>(v2[g]);
        }
    }

    QM_AVX2 void compress(const __m256i (&m)[Groups]) {
        for (int g = 0; g < Groups; ++g) v3[g] = _mm256_xor_si256(v3[g], m[g]);
        round();
        for (int g = 0; g < Groups; ++g) v0[g] = _mm256_xor_si256(v0[g], m[g]);
    }
};

QM_AVX2 inline __m256i load4(const unsigned char* const* p, size_t at) {
    return _mm256_setr_epi64x(static_cast<long long>(sip::load_le64(p[0] + at)),
                              static_cast<long long>(sip::load_le64(p[1] + at)),
                              static_cast<long long>(sip::load_le64(p[2] + at)),
                              static_cast<long long>(sip::load_le64(p[3] + at)));
}

/// Hashes the `4 * Groups` runs `which[0..)` of `runs`, all of `blocks` full
/// 8-byte blocks, into their places in `out`.
template <int Groups>
QM_AVX2 void hash_lanes(const char* base, const ByteRun* runs, const uint32_t* which,
                        size_t blocks, uint64_t* out) {
    constexpr int kLanes = 4 * Groups;
    const unsigned char* p[kLanes];
    for (int k = 0; k < kLanes; ++k) {
        p[k] = reinterpret_cast<const unsigned char*>(base + runs[which[k]].offset);
    }
    LaneStates<Groups> state;
    __m256i m[Groups];
    for (size_t at = 0; at < 8 * blocks; at += 8) {
        for (int g = 0; g < Groups; ++g) m[g] = load4(p + 4 * g, at);
        state.compress(m);
    }
    // The last word: the bytes past the blocks, and the length's low byte on top.
    uint64_t last[kLanes];
    for (int k = 0; k < kLanes; ++k) {
        const size_t size = runs[which[k]].size;
        last[k] = load_le_padded(p[k] + 8 * blocks, size & 7) | uint64_t{size & 0xff} << 56;
    }
    for (int g = 0; g < Groups; ++g) {
        m[g] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(last + 4 * g));
    }
    state.compress(m);
    for (int g = 0; g < Groups; ++g) {
        state.v2[g] = _mm256_xor_si256(state.v2[g], _mm256_set1_epi64x(0xff));
    }
    state.round();
    state.round();
    state.round();
    uint64_t digest[kLanes];
    for (int g = 0; g < Groups; ++g) {
        const __m256i d = _mm256_xor_si256(_mm256_xor_si256(state.v0[g], state.v1[g]),
                                           _mm256_xor_si256(state.v2[g], state.v3[g]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(digest + 4 * g), d);
    }
    for (int k = 0; k < kLanes; ++k) out[which[k]] = digest[k];
}

/// Runs of more blocks than this are rare (a shingle of long tokens) and are
/// hashed on the scalar path.
constexpr size_t kMaxLaneBlocks = 31;
/// Runs sorted per call at most; longer inputs are taken in slices.
constexpr size_t kSlice = 512;

QM_AVX2 void hash_slice_avx2(const char* base, const ByteRun* runs, size_t count,
                             uint64_t* out) {
    // A counting sort of the runs' indices by their number of blocks; the last
    // bucket takes every run of more than kMaxLaneBlocks.
    constexpr size_t kBuckets = kMaxLaneBlocks + 2;
    const auto bucket_of = [](const ByteRun& run) {
        const size_t blocks = run.size / 8;
        return blocks <= kMaxLaneBlocks ? blocks : kBuckets - 1;
    };
    uint32_t starts[kBuckets + 1] = {};
    for (size_t i = 0; i < count; ++i) ++starts[bucket_of(runs[i]) + 1];
    for (size_t b = 1; b <= kBuckets; ++b) starts[b] += starts[b - 1];
    uint32_t order[kSlice];
    uint32_t next[kBuckets];
    for (size_t b = 0; b < kBuckets; ++b) next[b] = starts[b];
    for (size_t i = 0; i < count; ++i) order[next[bucket_of(runs[i])]++] = static_cast<uint32_t>(i);

    for (size_t b = 0; b < kBuckets; ++b) {
        const uint32_t* which = order + starts[b];
        const uint32_t* const end = order + starts[b + 1];
        if (b <= kMaxLaneBlocks) {
            for (; end - which >= 8; which += 8) hash_lanes<2>(base, runs, which, b, out);
            for (; end - which >= 4; which += 4) hash_lanes<1>(base, runs, which, b, out);
        }
        for (; end - which >= 2; which += 2) {
            const ByteRun& first = runs[which[0]];
            const ByteRun& second = runs[which[1]];
            siphash13_padded_pair(base + first.offset, first.size, base + second.offset,
                                  second.size, out[which[0]], out[which[1]]);
        }
        if (which != end) {
            const ByteRun& run = runs[*which];
            out[*which] = siphash13_padded(0, 0, base + run.offset, run.size);
        }
    }
}

bool has_avx2() noexcept {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

}  // namespace

bool siphash13_padded_runs_avx2(const char* base, const ByteRun* runs, size_t count,
                                uint64_t* out) noexcept {
    if (!has_avx2()) return false;
    for (size_t done = 0; done < count; done += kSlice) {
        const size_t slice = count - done < kSlice ? count - done : kSlice;
        hash_slice_avx2(base, runs + done, slice, out + done);
    }
    return true;
}

#else

bool siphash13_padded_runs_avx2(const char*, const ByteRun*, size_t, uint64_t*) noexcept {
    return false;
}

#endif

}  // namespace detail

void siphash13_padded_runs(const char* base, const ByteRun* runs, size_t count,
                           uint64_t* out) noexcept {
    if (!detail::siphash13_padded_runs_avx2(base, runs, count, out)) {
        detail::siphash13_padded_runs_scalar(base, runs, count, out);
    }
}

}  // namespace qm
