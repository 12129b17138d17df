// The saturation scan: hashed word shingles counted against a set of their hashes.
#include "saturation_scan.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "common/flat_sets.h"
#include "common/siphash.h"
#include "common/siphash_runs.h"
#include "words.h"

namespace qm {
namespace {

/// The latest tokens, each followed by the 0xFF terminator, back to back: the
/// bytes of a shingle are then one contiguous run, hashed in one shot. When the
/// buffer is full, the last `keep` tokens move to its front; it grows only when
/// they and the next token would not fit in half of it, so moving stays linear.
class PackedTokens {
public:
    /// Keeps at least the last `keep` tokens (keep + 1 must not overflow).
    explicit PackedTokens(size_t keep)
        : keep_(keep), starts_(std::bit_ceil(keep + 1)), mask_(starts_.size() - 1) {}

    /// True when `token` can be pushed without moving the tokens held (which
    /// would invalidate the runs taken from them).
    bool fits(std::string_view token) const noexcept {
        return bytes_.size() >= used_ + token.size() + 1 + kSlack;
    }

    /// Moves the last `keep` tokens to the front, growing the buffer if that
    /// leaves less than half of it for them and `token`.
    void make_room(std::string_view token) {
        const size_t need = token.size() + 1;
        const size_t kept = static_cast<size_t>(std::min<uint64_t>(keep_, count_));
        const size_t from = kept == 0 ? used_ : start(kept);
        const size_t carry = used_ - from;
        const size_t wanted = std::max(kMinBytes, 2 * (carry + need)) + kSlack;
        if (bytes_.size() < wanted) {
            std::vector<char> larger(wanted);
            if (carry != 0) std::memcpy(larger.data(), bytes_.data() + from, carry);
            bytes_.swap(larger);
        } else if (carry != 0) {
            std::memmove(bytes_.data(), bytes_.data() + from, carry);
        }
        for (size_t back = 1; back <= kept; ++back) start(back) -= from;
        used_ = carry;
    }

    /// Appends `token` and its terminator; `fits(token)` must hold. `readable`
    /// bytes from the token's start may be read (the rest of the text): a short
    /// token is then copied as sixteen bytes, without a call, and the excess
    /// overwritten later.
    void push(std::string_view token, size_t readable) noexcept {
        starts_[count_ & mask_] = used_;
        ++count_;
        char* const at = bytes_.data() + used_;
        if (token.size() <= 16 && readable >= 16) {
            std::memcpy(at, token.data(), 16);
        } else {
            std::memcpy(at, token.data(), token.size());
        }
        at[token.size()] = static_cast<char>(kTextTerminator);
        used_ += token.size() + 1;
    }

    /// Tokens pushed so far.
    uint64_t tokens() const noexcept { return count_; }

    /// The bytes of the last `count` tokens (count <= tokens() and <= keep), as
    /// a run of `data()`; at least 7 readable bytes follow it.
    ByteRun last(size_t count) const noexcept {
        const size_t begin = start(count);
        return {begin, used_ - begin};
    }

    /// The packed bytes, which the runs from `last` are offsets into.
    const char* data() const noexcept { return bytes_.data(); }

private:
    // Past the last byte: a hash reads up to 7 bytes beyond a run, and a short
    // token is copied as sixteen bytes.
    static constexpr size_t kSlack = 16;
    static constexpr size_t kMinBytes = size_t{64} << 10;

    /// Offset in `bytes_` of the `back`-th latest token (1 is the latest).
    size_t start(size_t back) const noexcept { return starts_[(count_ - back) & mask_]; }
    size_t& start(size_t back) noexcept { return starts_[(count_ - back) & mask_]; }

    size_t keep_;
    std::vector<char> bytes_;
    // Offsets in `bytes_` of the latest tokens, a ring indexed by the count of
    // tokens pushed: it holds the `keep` + 1 that a run and a move need.
    std::vector<size_t> starts_;
    size_t mask_;
    uint64_t count_ = 0;
    size_t used_ = 0;
};

/// Windows wider than this count the words in a pass of their own first.
constexpr uint64_t kCountFirstWindow = 256;

}  // namespace

uint64_t shingle_hash(const std::string_view* tokens, size_t count) noexcept {
    SipHasher13 hasher;
    for (size_t i = 0; i < count; ++i) {
        hasher.write(tokens[i]);
        hasher.write_byte(kTextTerminator);
    }
    return hasher.finish();
}

float saturation_scan(std::string_view text, uint64_t window) {
    const uint64_t w = window == 0 ? 1 : window;
    // A text of b bytes has at most (b + 1) / 2 words, so a window past half of
    // that has no shingle to count.
    if ((text.size() / 2 + 1) / 2 < w) return 0.0f;
    uint64_t n = 0;
    // With a wide window the words are counted first, so that a text too short
    // for two windows costs no buffer of a window's words; a narrow window
    // (the usual case) counts them in the same pass as the shingles.
    if (w > kCountFirstWindow) {
        for_each_word(text, [&](std::string_view) { ++n; });
        // n < 2w, written so that no window up to 2^64 - 1 can overflow.
        if (n / 2 < w) return 0.0f;
    }

    const size_t width = static_cast<size_t>(w);
    // Words bound the shingles: the set's first table is sized for at most that.
    const size_t words_bound = text.size() / 2 + 1;
    HashSet64 seen(words_bound);
    uint64_t duplicates = 0;
    // Memory follows the window and the distinct shingles, not the length of the
    // text: only the latest tokens are kept, packed (a flood of short words would
    // otherwise cost 16 bytes of views per word).
    PackedTokens recent(width);
    // Shingles are taken in batches: all hashed at once, several per round in
    // vector lanes, then their slots prefetched, so that the lookups of a large
    // set overlap their cache misses, then inserted.
    constexpr size_t kBatch = 256;
    constexpr size_t kAhead = 16;
    ByteRun runs[kBatch];
    uint64_t hashes[kBatch];
    uint64_t mixes[kBatch];
    size_t pending = 0;
    size_t consumed = 0;  // bytes of the text up to the end of the latest token
    const auto insert_pending = [&] {
        siphash13_padded_runs(recent.data(), runs, pending, hashes);
        // Prose makes a new shingle of nearly every word, so a table that only
        // doubled would re-place its values seven times over on the way to a
        // megabyte's worth. When it must grow, it is sized at once for the
        // distinct shingles the text so far projects, up to the bound on them;
        // a flood never gets there.
        if (seen.full_before(pending)) {
            const double projected = static_cast<double>(seen.size() + pending) *
                                     static_cast<double>(text.size()) /
                                     static_cast<double>(consumed);
            seen.reserve(projected < static_cast<double>(words_bound)
                             ? static_cast<size_t>(projected) : words_bound);
        }
        for (size_t j = 0; j < pending; ++j) {
            mixes[j] = seen.mix(hashes[j]);
            if (j < kAhead) seen.prefetch(mixes[j]);
        }
        for (size_t j = 0; j < pending; ++j) {
            if (j + kAhead < pending) seen.prefetch(mixes[j + kAhead]);
            duplicates += !seen.insert(hashes[j], mixes[j]);
        }
        pending = 0;
    };
    uint64_t tokens = 0;
    for_each_word(text, [&](std::string_view token) {
        ++tokens;
        if (!recent.fits(token)) {
            // The runs still to hash point into the bytes about to move.
            insert_pending();
            recent.make_room(token);
        }
        recent.push(token, static_cast<size_t>(text.data() + text.size() - token.data()));
        if (recent.tokens() < width) return;
        consumed = static_cast<size_t>(token.data() + token.size() - text.data());
        runs[pending] = recent.last(width);
        if (++pending == kBatch) insert_pending();
    });
    insert_pending();
    n = tokens;
    if (n / 2 < w) return 0.0f;
    const uint64_t shingles = n - w + 1;
    return static_cast<float>(duplicates) / static_cast<float>(shingles);
}

}  // namespace qm
