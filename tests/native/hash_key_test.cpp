// Native checks of the process hash key and the keyed SipHash that places words
// and shingles in the kernels' hash sets. With --placement it prints the slots
// that a few fixed words take in a 2^16-slot table under this process's key, for
// tests/test_effort_gauge.py to compare across two processes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/flat_sets.h"
#include "common/hash_key.h"
#include "common/siphash.h"
#include "check.h"
#include "siphash_reference.h"

namespace {

constexpr std::string_view kWords[] = {"the", "design", "context", "window", "não", "ok"};

void check_keyed_siphash() {
    const qm::HashKey keys[] = {{0, 0}, {0x0706050403020100ull, 0x0f0e0d0c0b0a0908ull},
                                {~0ull, 0x8000000000000001ull}};
    std::string message;
    int mismatches = 0;
    for (size_t size = 0; size <= 300; ++size) {
        for (const qm::HashKey& key : keys) {
            const uint64_t expected = reference_siphash13(key.k0, key.k1, message);
            mismatches += qm::siphash13(key.k0, key.k1, message.data(), message.size()) != expected;
            qm::SipHasher13 hasher(key.k0, key.k1);
            hasher.write(message.data(), size / 3);
            hasher.write(message.data() + size / 3, size - size / 3);
            mismatches += hasher.finish() != expected;
        }
        message.push_back(static_cast<char>(size * 37 + 11));
    }
    CHECK(mismatches == 0);
    // The zero key is the content hash's: "abc" and its terminator.
    CHECK(qm::siphash13(0, 0, "abc\xff", 4) == 0xEF09E0F4895A251Dull);
    const uint64_t value = 0x0123456789abcdefull;
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    CHECK(qm::siphash13_u64(3, 5, value) == qm::siphash13(3, 5, bytes, 8));
}

void check_process_key() {
    const qm::HashKey& key = qm::process_hash_key();
    CHECK(&key == &qm::process_hash_key());
    CHECK((key.k0 | key.k1) != 0);
    CHECK(key.k0 != key.k1);
}

void check_sets_under_any_key() {
    // Membership never depends on the key; only the slots do.
    const qm::HashKey keys[] = {{0, 0}, {1, 2}, qm::process_hash_key()};
    for (const qm::HashKey& key : keys) {
        qm::ViewSet words(4, key);
        // Views need 7 readable bytes after them: each word sits in a padded string.
        std::string padded[std::size(kWords)];
        for (size_t i = 0; i < std::size(kWords); ++i) padded[i] = std::string(kWords[i]) + "        ";
        int fresh = 0;
        for (int round = 0; round < 2; ++round) {
            for (size_t i = 0; i < std::size(kWords); ++i) {
                fresh += words.insert(std::string_view(padded[i].data(), kWords[i].size()));
            }
        }
        CHECK(fresh == static_cast<int>(std::size(kWords)));
        // Enough words of 1 to 20 bytes to grow the table several times: short
        // ones live in their slots, long ones as views, and both survive moving.
        std::string pool;
        std::vector<std::pair<size_t, size_t>> spans;
        for (size_t i = 0; i < 10000; ++i) {
            const std::string word = std::to_string(i * 7919) + std::string(i % 13, 'x');
            spans.emplace_back(pool.size(), word.size());
            pool += word;
        }
        pool += std::string(8, ' ');
        qm::ViewSet many(1, key);
        int added = 0;
        for (int round = 0; round < 2; ++round) {
            for (auto [at, size] : spans) added += many.insert(std::string_view(pool.data() + at, size));
        }
        CHECK(added == 10000);
        qm::HashSet64 values(4, key);
        int inserted = 0;
        for (uint64_t v = 0; v < 5000; ++v) inserted += values.insert(v * 0x10000);
        for (uint64_t v = 0; v < 5000; ++v) inserted += values.insert(v * 0x10000);
        CHECK(inserted == 5000);
    }
}

/// The slots of the fixed words in a table of 2^16 slots under this process's key.
int print_placement() {
    const qm::HashKey& key = qm::process_hash_key();
    for (std::string_view w : kWords) {
        std::printf("%u ", static_cast<unsigned>(qm::siphash13(key.k0, key.k1, w.data(), w.size()) & 0xffff));
    }
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--placement") == 0) return print_placement();
    check_keyed_siphash();
    check_process_key();
    check_sets_under_any_key();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
