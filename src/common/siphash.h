// SipHash-1-3 under the all-zero key, fed incrementally so several byte strings
// can make up one message. The stable content hash appends one 0xFF byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace qm {

/// Incremental SipHash with `C` compression and `D` finalisation rounds.
template <int C, int D>
class SipHasher {
public:
    /// Feeds more message bytes.
    void write(const void* data, size_t size) noexcept {
        auto* in = static_cast<const unsigned char*>(data);
        length_ += size;
        if (fill_ != 0) {
            const size_t take = size < 8 - fill_ ? size : 8 - fill_;
            tail_ |= load_le_partial(in, take) << (8 * fill_);
            fill_ += static_cast<unsigned>(take);
            in += take;
            size -= take;
            if (fill_ < 8) return;
            compress(tail_);
            tail_ = 0;
            fill_ = 0;
        }
        for (; size >= 8; in += 8, size -= 8) compress(load_le64(in));
        tail_ = load_le_partial(in, size);
        fill_ = static_cast<unsigned>(size);
    }
    void write(std::string_view bytes) noexcept { write(bytes.data(), bytes.size()); }
    void write_byte(unsigned char byte) noexcept { write(&byte, 1); }

    /// The digest of everything written so far (the hasher is spent afterwards).
    uint64_t finish() noexcept {
        compress(tail_ | (length_ & 0xff) << 56);
        v2 ^= 0xff;
        for (int i = 0; i < D; ++i) round();
        return v0 ^ v1 ^ v2 ^ v3;
    }

private:
    static uint64_t rotl(uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

    static uint64_t load_le64(const unsigned char* p) noexcept {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= uint64_t{p[i]} << (8 * i);
        return v;
    }

    /// Four bytes at `p` as a little-endian word.
    static uint64_t load_le32(const unsigned char* p) noexcept {
        return uint64_t{p[0]} | uint64_t{p[1]} << 8 | uint64_t{p[2]} << 16 | uint64_t{p[3]} << 24;
    }

    /// The `n` < 8 bytes at `p` as a little-endian word, without a byte loop:
    /// short tokens hit this on every write.
    static uint64_t load_le_partial(const unsigned char* p, size_t n) noexcept {
        if (n >= 4) {  // two overlapping 4-byte loads; shared bytes agree
            return load_le32(p) | load_le32(p + n - 4) << (8 * (n - 4));
        }
        if (n == 0) return 0;
        // One, two or three bytes: first, middle and last cover every case.
        return uint64_t{p[0]} | uint64_t{p[n / 2]} << (8 * (n / 2)) |
               uint64_t{p[n - 1]} << (8 * (n - 1));
    }

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

    // The key is zero, so the state starts as the initialisation constants.
    uint64_t v0 = 0x736f6d6570736575ull;
    uint64_t v1 = 0x646f72616e646f6dull;
    uint64_t v2 = 0x6c7967656e657261ull;
    uint64_t v3 = 0x7465646279746573ull;
    uint64_t tail_ = 0;
    unsigned fill_ = 0;
    uint64_t length_ = 0;
};

using SipHasher13 = SipHasher<1, 3>;

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
