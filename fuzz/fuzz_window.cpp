// Fuzz target: operation sequences on the context window (insert, decay cycles
// with and without absorption, ledger appends, purpose changes, rendering),
// checked step by step against a plain model of blocks, ledger and purpose.
#include <cmath>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "context/digest.h"
#include "common/exp2.h"
#include "common/siphash.h"
#include "context/context_apoptosis.h"
#include "fuzz_support.h"

namespace {

struct ModelBlock {
    std::string content;
    float oxygen;
    uint32_t signal;
    uint32_t tokens;
};

struct Model {
    std::vector<ModelBlock> blocks;
    std::vector<std::string> ledger;
    std::optional<std::string> purpose;
    uint64_t inserted = 0;
    uint64_t purged = 0;
    size_t state_capacity = 1;

    bool note_state(const std::string& text) {
        for (const std::string& entry : ledger) {
            if (entry == text) return false;
        }
        ledger.push_back(text);
        if (ledger.size() > state_capacity) ledger.erase(ledger.begin());
        return true;
    }
};

bool durable(uint32_t signal) { return (signal & (1 | 8)) != 0; }
bool conversational(uint32_t signal) { return (signal & (2 | 4)) != 0; }

/// The automatic oxygen, from the class table: the first matching group decides.
float auto_oxygen(uint32_t signal) {
    if (durable(signal)) return 4.0f;
    if (conversational(signal)) return 1.0f;
    if (signal & 32) return 0.15f;
    if (signal & 16) return 0.25f;
    return 0.6f;
}

/// The digest, written plainly: every character decoded, words joined, then the
/// cut at the first character start from byte 120 on.
std::string model_digest(std::string_view text) {
    std::string joined;
    for (std::string_view word : fuzz::reference_words(text)) {
        if (!joined.empty()) joined.push_back(' ');
        joined.append(word);
    }
    if (joined.size() <= 120) return joined;
    for (size_t i = 120; i < joined.size(); ++i) {
        if ((static_cast<unsigned char>(joined[i]) & 0xC0) != 0x80) {
            return joined.substr(0, i) + "\xE2\x80\xA6";
        }
    }
    return joined;
}

/// A digest is one line: at most 126 bytes of well-formed UTF-8 whose words,
/// joined by single spaces, give it back (no other White_Space, no edge spaces).
void check_digest_shape(const std::string& digest) {
    FUZZ_CHECK(digest.size() <= 126);
    FUZZ_CHECK(fuzz::is_valid_utf8(digest));
    std::string rebuilt;
    for (std::string_view word : fuzz::reference_words(digest)) {
        if (!rebuilt.empty()) rebuilt.push_back(' ');
        rebuilt.append(word);
    }
    FUZZ_CHECK(rebuilt == digest);
}

/// Everything the window shows equals the model, and the ledger invariants hold.
void check_state(const qm::ContextApoptosis& window, const Model& model) {
    const std::vector<std::string> contents = window.active_context();
    FUZZ_CHECK(contents.size() == model.blocks.size());
    FUZZ_CHECK(window.length() == model.blocks.size());
    uint64_t active = 0;
    for (size_t i = 0; i < contents.size(); ++i) {
        FUZZ_CHECK(contents[i] == model.blocks[i].content);
        active += model.blocks[i].tokens;
    }
    FUZZ_CHECK(window.active_tokens() == active);
    FUZZ_CHECK(window.inserted_tokens() == model.inserted);
    FUZZ_CHECK(active == model.inserted - model.purged);
    const double ratio = window.reduction_ratio();
    FUZZ_CHECK(ratio >= 0.0 && ratio <= 1.0);
    if (model.inserted == 0) {
        FUZZ_CHECK(ratio == 0.0);
    } else {
        FUZZ_CHECK(ratio == static_cast<double>(static_cast<float>(model.purged) /
                                                static_cast<float>(model.inserted)));
    }

    const std::vector<std::string> ledger = window.state_entries();
    FUZZ_CHECK(ledger == model.ledger);
    FUZZ_CHECK(ledger.size() <= window.state_capacity());
    std::set<uint64_t> hashes;
    for (const std::string& entry : ledger) FUZZ_CHECK(hashes.insert(qm::content_hash(entry)).second);

    // The rendering is the three sections rebuilt from the copies.
    std::string expected;
    if (model.purpose) expected += *model.purpose + "\n";
    if (!ledger.empty()) {
        expected += "STATE:\n";
        for (const std::string& entry : ledger) expected += "- " + entry + "\n";
    }
    for (size_t i = 0; i < contents.size(); ++i) {
        if (i > 0) expected += "\n";
        expected += contents[i];
    }
    FUZZ_CHECK(window.render() == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const float half_life = fuzz::consume_float(in, -1.0f, 8.0f);
    const float threshold = fuzz::consume_float(in, -0.5f, 4.5f);
    const size_t capacity = in.ConsumeIntegralInRange<size_t>(0, 64);
    const size_t state_capacity =
        in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 6) : in.ConsumeIntegral<uint16_t>();
    qm::ContextApoptosis window(half_life, threshold, capacity, state_capacity);

    Model model;
    model.state_capacity = state_capacity == 0 ? 1 : state_capacity;
    const float model_half_life = half_life >= 0.1f ? half_life : 0.1f;  // NaN fails the test
    FUZZ_CHECK(fuzz::same_float(window.half_life(), model_half_life));
    FUZZ_CHECK(fuzz::same_float(window.safe_threshold(), threshold));
    FUZZ_CHECK(window.state_capacity() == model.state_capacity);
    // The window uses our correctly rounded exponential (checked on every input by
    // tools/exp2_check), not the C library's.
    const float decay = qm::exp2_correctly_rounded(-1.0f / model_half_life);
    FUZZ_CHECK(fuzz::same_float(window.decay_factor(), decay));
    FUZZ_CHECK(decay > 0.0f && decay <= 1.0f);

    for (int step = 0; step < 256 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 5)) {
            case 0: {  // insert
                std::string content = fuzz::consume_text(in);
                const uint32_t signal = in.ConsumeBool() ? in.ConsumeIntegral<uint8_t>() & 0x3F
                                                         : in.ConsumeIntegral<uint32_t>();
                std::optional<float> oxygen;
                if (in.ConsumeBool()) oxygen = fuzz::consume_float(in, -1.0f, 5.0f);
                const uint32_t tokens = static_cast<uint32_t>(content.size() / 4 + 1);
                const float stored = !oxygen || *oxygen < 0.0f ? auto_oxygen(signal) : *oxygen;
                model.blocks.push_back(ModelBlock{content, stored, signal, tokens});
                model.inserted += tokens;
                window.insert(std::move(content), signal, oxygen);
                break;
            }
            case 1: {  // decay cycle, with the digests appended as the method does
                const float boost = fuzz::consume_float(in, -1.0f, 2.0f);
                const bool absorb = in.ConsumeBool();
                std::vector<ModelBlock> survivors;
                std::vector<std::string> digests;
                for (ModelBlock block : model.blocks) {
                    block.oxygen = durable(block.signal) ? block.oxygen + boost : block.oxygen * decay;
                    if (durable(block.signal) || block.oxygen >= threshold) {
                        survivors.push_back(std::move(block));
                        continue;
                    }
                    model.purged += block.tokens;
                    if (absorb && conversational(block.signal)) digests.push_back(model_digest(block.content));
                }
                const uint64_t purged = model.blocks.size() - survivors.size();
                model.blocks = std::move(survivors);

                qm::DehydrateOutcome outcome = window.dehydrate(boost, absorb);
                FUZZ_CHECK(outcome.purged == purged);
                FUZZ_CHECK(outcome.digests == digests);
                for (std::string& digest : outcome.digests) {
                    check_digest_shape(digest);
                    FUZZ_CHECK(window.note_state(digest) == model.note_state(digest));
                }
                break;
            }
            case 2: {  // note_state
                const std::string fact = fuzz::consume_text(in, 16);
                FUZZ_CHECK(window.note_state(fact) == model.note_state(fact));
                break;
            }
            case 3: {  // set_purpose
                std::optional<std::string> purpose;
                if (in.ConsumeBool()) purpose = fuzz::consume_text(in, 32);
                model.purpose = purpose;
                window.set_purpose(std::move(purpose));
                break;
            }
            case 4: {  // digest of an arbitrary text, long-text path included
                const std::string text = fuzz::consume_text(in, 200);
                const std::string digest = qm::make_digest(text);
                FUZZ_CHECK(digest == model_digest(text));
                check_digest_shape(digest);
                break;
            }
            default:
                break;
        }
        check_state(window, model);
    }
    return 0;
}
