// SipHash-1-3, fed incrementally so several byte strings can make up one
// message, or in one shot over contiguous bytes. Under the all-zero key it is the
// stable content hash (which appends one 0xFF byte); under the process key it
// places words and shingles in the kernels' hash sets.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace qm {

namespace sip {

inline constexpr uint64_t kInit0 = 0x736f6d6570736575ull;
inline constexpr uint64_t kInit1 = 0x646f72616e646f6dull;
inline constexpr uint64_t kInit2 = 0x6c7967656e657261ull;
inline constexpr uint64_t kInit3 = 0x7465646279746573ull;

inline uint64_t rotl(uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

/// Eight bytes at `p` as a little-endian word.
inline uint64_t load_le64(const unsigned char* p) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    } else {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= uint64_t{p[i]} << (8 * i);
        return v;
    }
}

/// Four bytes at `p` as a little-endian word.
inline uint64_t load_le32(const unsigned char* p) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    } else {
        return uint64_t{p[0]} | uint64_t{p[1]} << 8 | uint64_t{p[2]} << 16 | uint64_t{p[3]} << 24;
    }
}

/// The `n` < 8 bytes at `p` as a little-endian word, reading no byte beyond
/// them and without a byte loop: short tokens hit this on every write.
inline uint64_t load_le_partial(const unsigned char* p, size_t n) noexcept {
    if (n >= 4) {  // two overlapping 4-byte loads; shared bytes agree
        return load_le32(p) | load_le32(p + n - 4) << (8 * (n - 4));
    }
    if (n == 0) return 0;
    // One, two or three bytes: first, middle and last cover every case.
    return uint64_t{p[0]} | uint64_t{p[n / 2]} << (8 * (n / 2)) |
           uint64_t{p[n - 1]} << (8 * (n - 1));
}

/// The four state words, with SipHash's round and compression named as in the paper.
template <int C, int D>
struct State {
    uint64_t v0, v1, v2, v3;

    State(uint64_t k0, uint64_t k1) noexcept
        : v0(k0 ^ kInit0), v1(k1 ^ kInit1), v2(k0 ^ kInit2), v3(k1 ^ kInit3) {}

    void round() noexcept {  // SIPROUND
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }

    void compress(uint64_t m) noexcept {
        v3 ^= m;
        for (int i = 0; i < C; ++i) round();
        v0 ^= m;
    }

    /// Compresses the last word (`tail` plus the length byte) and finalises.
    uint64_t finish(uint64_t tail, uint64_t length) noexcept {
        compress(tail | (length & 0xff) << 56);
        v2 ^= 0xff;
        for (int i = 0; i < D; ++i) round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

}  // namespace sip

/// Incremental SipHash with `C` compression and `D` finalisation rounds.
template <int C, int D>
class SipHasher {
public:
    /// A hasher under the all-zero key.
    SipHasher() noexcept : state_(0, 0) {}
    /// A hasher under the key (k0, k1).
    SipHasher(uint64_t k0, uint64_t k1) noexcept : state_(k0, k1) {}

    /// Feeds more message bytes.
    void write(const void* data, size_t size) noexcept {
        auto* in = static_cast<const unsigned char*>(data);
        length_ += size;
        if (fill_ != 0) {
            const size_t take = size < 8 - fill_ ? size : 8 - fill_;
            tail_ |= sip::load_le_partial(in, take) << (8 * fill_);
            fill_ += static_cast<unsigned>(take);
            in += take;
            size -= take;
            if (fill_ < 8) return;
            state_.compress(tail_);
            tail_ = 0;
            fill_ = 0;
        }
        for (; size >= 8; in += 8, size -= 8) state_.compress(sip::load_le64(in));
        tail_ = sip::load_le_partial(in, size);
        fill_ = static_cast<unsigned>(size);
    }
    void write(std::string_view bytes) noexcept { write(bytes.data(), bytes.size()); }
    void write_byte(unsigned char byte) noexcept { write(&byte, 1); }

    /// The digest of everything written so far (the hasher is spent afterwards).
    uint64_t finish() noexcept { return state_.finish(tail_, length_); }

private:
    sip::State<C, D> state_;
    uint64_t tail_ = 0;
    unsigned fill_ = 0;
    uint64_t length_ = 0;
};

using SipHasher13 = SipHasher<1, 3>;

/// SipHash-1-3 under the key (k0, k1) of `size` contiguous bytes, in one shot:
/// the same digest as writing them to a SipHasher13, without its bookkeeping.
inline uint64_t siphash13(uint64_t k0, uint64_t k1, const void* data, size_t size) noexcept {
    sip::State<1, 3> state(k0, k1);
    auto* in = static_cast<const unsigned char*>(data);
    const unsigned char* const blocks_end = in + (size & ~size_t{7});
    for (; in != blocks_end; in += 8) state.compress(sip::load_le64(in));
    return state.finish(sip::load_le_partial(in, size & 7), size);
}

/// The `n` < 8 bytes at `p` as a little-endian word, read as one 8-byte load
/// whose excess bytes are masked off: no branch on `n`, for callers whose data is
/// followed by at least 7 readable bytes (of any value).
inline uint64_t load_le_padded(const unsigned char* p, size_t n) noexcept {
    return sip::load_le64(p) & ((uint64_t{1} << (8 * n)) - 1);
}

/// `siphash13` for bytes followed by at least 7 readable bytes, which it may read
/// but which do not affect the digest: short strings of varying length hash
/// without a mispredicted branch on their length.
inline uint64_t siphash13_padded(uint64_t k0, uint64_t k1, const void* data, size_t size) noexcept {
    sip::State<1, 3> state(k0, k1);
    auto* in = static_cast<const unsigned char*>(data);
    const unsigned char* const blocks_end = in + (size & ~size_t{7});
    for (; in != blocks_end; in += 8) state.compress(sip::load_le64(in));
    return state.finish(load_le_padded(in, size & 7), size);
}

/// `siphash13_padded` of two byte runs at once, under the zero key: their rounds
/// are independent, so the processor overlaps them where one hash alone would
/// wait on each round. Both digests are those of single calls.
inline void siphash13_padded_pair(const void* a, size_t a_size, const void* b, size_t b_size,
                                  uint64_t& a_hash, uint64_t& b_hash) noexcept {
    sip::State<1, 3> sa(0, 0);
    sip::State<1, 3> sb(0, 0);
    auto* pa = static_cast<const unsigned char*>(a);
    auto* pb = static_cast<const unsigned char*>(b);
    size_t blocks_a = a_size / 8;
    size_t blocks_b = b_size / 8;
    for (size_t common = blocks_a < blocks_b ? blocks_a : blocks_b; common != 0; --common) {
        sa.compress(sip::load_le64(pa));
        sb.compress(sip::load_le64(pb));
        pa += 8;
        pb += 8;
        --blocks_a;
        --blocks_b;
    }
    for (; blocks_a != 0; --blocks_a, pa += 8) sa.compress(sip::load_le64(pa));
    for (; blocks_b != 0; --blocks_b, pb += 8) sb.compress(sip::load_le64(pb));
    a_hash = sa.finish(load_le_padded(pa, a_size & 7), a_size);
    b_hash = sb.finish(load_le_padded(pb, b_size & 7), b_size);
}

/// SipHash-1-3 under the key (k0, k1) of the eight little-endian bytes of `value`.
inline uint64_t siphash13_u64(uint64_t k0, uint64_t k1, uint64_t value) noexcept {
    sip::State<1, 3> state(k0, k1);
    state.compress(value);
    return state.finish(0, 8);
}

/// Terminator after every text: never a byte of UTF-8, so token runs stay distinct.
inline constexpr unsigned char kTextTerminator = 0xff;

/// Stable digest of a text: SipHash-1-3 over its UTF-8 bytes and one 0xFF.
inline uint64_t content_hash(std::string_view utf8) noexcept {
    SipHasher13 hasher;
    hasher.write(utf8);
    hasher.write_byte(kTextTerminator);
    return hasher.finish();
}

}  // namespace qm
