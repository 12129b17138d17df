// The per-process secret that keys every hash table fed with outside text.
#pragma once

#include <cstdint>

namespace qm {

/// A 128-bit SipHash key.
struct HashKey {
    uint64_t k0 = 0;
    uint64_t k1 = 0;
};

/// The key of this process: drawn from the operating system's random source on
/// the first call (thread-safe; the module's exec step makes that call at
/// import) and the same for every later call. Where a table places a word then
/// differs from process to process, so words crafted offline to collide in a
/// fixed hash only land in random slots.
const HashKey& process_hash_key() noexcept;

}  // namespace qm
