// Channel arithmetic: single-precision read-modify-write by compare-and-swap.
#include "channels.h"

#include <bit>

namespace qm {

namespace {

uint32_t clamp_count(uint64_t count) noexcept {
    if (count == 0) return 1;
    return count < Channels::kMaxChannels ? static_cast<uint32_t>(count) : Channels::kMaxChannels;
}

}  // namespace

Channels::Channels(uint64_t count) noexcept
    : count_(clamp_count(count)),
      mask_(count_ == kMaxChannels ? UINT32_MAX : (uint32_t{1} << count_) - 1) {}

template <class Op>
void Channels::update(uint32_t index, Op op) noexcept {
    std::atomic<uint32_t>& word = words_[index];
    uint32_t seen = word.load(std::memory_order_relaxed);
    // A failed exchange refreshes `seen` with the value another thread stored.
    // Bits are compared, not floats, so a NaN channel still updates.
    while (!word.compare_exchange_weak(seen, std::bit_cast<uint32_t>(op(std::bit_cast<float>(seen))),
                                       std::memory_order_relaxed, std::memory_order_relaxed)) {
    }
}

float Channels::load(uint32_t index) const noexcept {
    return std::bit_cast<float>(words_[index].load(std::memory_order_relaxed));
}

void Channels::deposit(uint32_t flags, float amount) noexcept {
    for (uint32_t m = flags & mask_; m != 0; m &= m - 1) {
        update(static_cast<uint32_t>(std::countr_zero(m)), [amount](float v) { return v + amount; });
    }
}

float Channels::sense(uint32_t mask) const noexcept {
    float sum = 0.0f;
    for (uint32_t m = mask & mask_; m != 0; m &= m - 1) {
        sum = sum + load(static_cast<uint32_t>(std::countr_zero(m)));
    }
    return sum;
}

float Channels::concentration(uint64_t bit) const noexcept {
    return bit < count_ ? load(static_cast<uint32_t>(bit)) : 0.0f;
}

void Channels::tick(float decay) noexcept {
    for (uint32_t i = 0; i < count_; ++i) {
        update(i, [decay](float v) { return v * decay; });
    }
}

uint32_t Channels::snapshot(std::array<float, kMaxChannels>& out) const noexcept {
    for (uint32_t i = 0; i < count_; ++i) out[i] = load(i);
    return count_;
}

float Channels::total() const noexcept {
    float sum = -0.0f;
    for (uint32_t i = 0; i < count_; ++i) sum = sum + load(i);
    return sum;
}

}  // namespace qm
