// Signal-class flags, their groups and precedence, the automatic metabolic
// weight, the half-life floor and the token estimate shared by the window and the
// one-pass kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace qm {

using SignalFlags = uint32_t;

inline constexpr SignalFlags kSystem = 1;
inline constexpr SignalFlags kUser = 2;
inline constexpr SignalFlags kAssistant = 4;
inline constexpr SignalFlags kFact = 8;
inline constexpr SignalFlags kTool = 16;
inline constexpr SignalFlags kThinking = 32;

inline constexpr SignalFlags kDurableMask = kSystem | kFact;
inline constexpr SignalFlags kConversationalMask = kUser | kAssistant;

/// SYSTEM or FACT: never purged, whatever else is set.
constexpr bool is_durable(SignalFlags flags) noexcept { return (flags & kDurableMask) != 0; }

/// USER or ASSISTANT (callers test durability first where it matters).
constexpr bool is_conversational(SignalFlags flags) noexcept {
    return (flags & kConversationalMask) != 0;
}

/// Weight of a non-durable block: the classification without its durable row.
constexpr float decaying_weight(SignalFlags flags) noexcept {
    if (is_conversational(flags)) return 1.0f;
    if ((flags & kThinking) != 0) return 0.15f;
    if ((flags & kTool) != 0) return 0.25f;
    return 0.6f;
}

/// Automatic oxygen of a block; the first matching group decides.
constexpr float metabolic_weight(SignalFlags flags) noexcept {
    return is_durable(flags) ? 4.0f : decaying_weight(flags);
}

/// Oxygen to store: the supplied value unless absent or negative (NaN is kept).
constexpr float resolve_oxygen(SignalFlags flags, std::optional<float> supplied) noexcept {
    if (!supplied || *supplied < 0.0f) return metabolic_weight(flags);
    return *supplied;
}

inline constexpr float kMinHalfLife = 0.1f;

/// The larger of `half_life` and 0.1; NaN, zero and negatives all become 0.1.
/// Both the window and the one-pass kernel decay by it.
constexpr float effective_half_life(float half_life) noexcept {
    // Written as a comparison that fails for NaN, so NaN takes the floor.
    return half_life > kMinHalfLife ? half_life : kMinHalfLife;
}

/// UTF-8 bytes / 4 + 1, wrapping in 32 bits: no text is free.
constexpr uint32_t estimate_tokens(size_t utf8_bytes) noexcept {
    return static_cast<uint32_t>(utf8_bytes / 4) + 1u;
}

}  // namespace qm
