// The messages a clause of a request points at, as quorvex_chat._lookup weighs them: each
// message by the sum of the weights of the clause's words it holds, taken in the clause's
// order of words so that the sum rounds as the Python reference's does, to the last bit.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qm {

struct Pointed {
    double weight;
    int64_t message;
    bool operator==(const Pointed&) const = default;
};

/// Word k is held by the messages `holders[k]` (each at most once) and weighs
/// `weights[k]`: the messages whose sums are below neither `cover` nor `least`, in the
/// order first pointed at.
std::vector<Pointed> pointed(std::span<const std::vector<int64_t>> holders,
                             std::span<const double> weights, double cover, double least);

}  // namespace qm
