// The sums are kept in a table keyed by message: which messages hold a word is the
// caller's text's doing, so a message's slot comes from a keyed mix, as the text kernels'
// sets place their words.
#include "pointed.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "common/flat_sets.h"
#include "common/hash_key.h"

namespace qm {

std::vector<Pointed> pointed(std::span<const std::vector<int64_t>> holders,
                             std::span<const double> weights, double cover, double least) {
    if (holders.size() != weights.size()) throw std::invalid_argument("one weight per word");
    size_t postings = 0;
    for (const auto& held : holders) postings += held.size();
    std::vector<Pointed> sums;  // by first pointing
    sums.reserve(std::min(postings, kInitialSetSlots));
    std::vector<uint32_t> slots(initial_set_capacity(postings), 0);  // 0: empty, else 1 + a sum's place
    const HashKey& key = process_hash_key();
    const uint64_t offset = key.k0;
    const uint64_t multiplier = key.k1 | 1;
    unsigned shift = 64 - static_cast<unsigned>(std::countr_zero(slots.size()));
    auto slot_of = [&](int64_t message) {
        return static_cast<size_t>(((static_cast<uint64_t>(message) ^ offset) * multiplier) >> shift);
    };
    auto grow = [&] {
        std::vector<uint32_t> larger(slots.size() * 2, 0);
        shift -= 1;
        const size_t mask = larger.size() - 1;
        for (uint32_t place = 0; place < sums.size(); ++place) {
            size_t i = slot_of(sums[place].message);
            while (larger[i] != 0) i = (i + 1) & mask;
            larger[i] = place + 1;
        }
        slots.swap(larger);
    };
    for (size_t k = 0; k < holders.size(); ++k) {
        const double weight = weights[k];
        for (const int64_t message : holders[k]) {
            const size_t mask = slots.size() - 1;
            size_t i = slot_of(message);
            while (slots[i] != 0 && sums[slots[i] - 1].message != message) i = (i + 1) & mask;
            if (slots[i] != 0) {
                sums[slots[i] - 1].weight += weight;
                continue;
            }
            if (sums.size() >= UINT32_MAX - 1) throw std::length_error("capacity overflow");
            // As the reference starts each sum: from 0.0, which turns a -0.0 weight to 0.0.
            sums.push_back(Pointed{0.0 + weight, message});
            slots[i] = static_cast<uint32_t>(sums.size());
            if (sums.size() * 2 > slots.size()) grow();
        }
    }
    std::vector<Pointed> kept;
    for (const Pointed& sum : sums) {
        if (!(sum.weight < cover || sum.weight < least)) kept.push_back(sum);
    }
    return kept;
}

}  // namespace qm
