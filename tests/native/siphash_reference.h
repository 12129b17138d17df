// SipHash-1-3 as the paper writes it, one byte at a time: the reference the
// native tests compare our incremental and keyed hashers with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

/// SipHash-1-3 under the key (k0, k1) over a whole message.
uint64_t reference_siphash13(uint64_t k0, uint64_t k1, const std::string& message) {
    uint64_t v[4] = {k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull,
                     k0 ^ 0x6c7967656e657261ull, k1 ^ 0x7465646279746573ull};
    const auto rotl = [](uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
    const auto round = [&] {
        v[0] += v[1]; v[1] = rotl(v[1], 13); v[1] ^= v[0]; v[0] = rotl(v[0], 32);
        v[2] += v[3]; v[3] = rotl(v[3], 16); v[3] ^= v[2];
        v[0] += v[3]; v[3] = rotl(v[3], 21); v[3] ^= v[0];
        v[2] += v[1]; v[1] = rotl(v[1], 17); v[1] ^= v[2]; v[2] = rotl(v[2], 32);
    };
    const auto compress = [&](uint64_t m) {
        v[3] ^= m;
        round();
        v[0] ^= m;
    };
    uint64_t word = 0;
    for (size_t i = 0; i < message.size(); ++i) {
        word |= uint64_t{static_cast<unsigned char>(message[i])} << (8 * (i % 8));
        if (i % 8 == 7) {
            compress(word);
            word = 0;
        }
    }
    compress(word | uint64_t{message.size() & 0xff} << 56);
    v[2] ^= 0xff;
    round();
    round();
    round();
    return v[0] ^ v[1] ^ v[2] ^ v[3];
}

}  // namespace
