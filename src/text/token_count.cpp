#include "text/token_count.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace qm {
namespace {

// Every piece the Python pattern matches is either ASCII alone or non-ASCII alone, and
// the ASCII pieces are one byte a character, so lengths in bytes are its lengths in code
// points and the UTF-8 bytes of a non-ASCII run are its count.

enum Kind : uint8_t { kSingle, kUpper, kLower, kDigit, kBlank, kNewline, kHigh };

constexpr std::array<Kind, 256> make_kinds() {
    std::array<Kind, 256> kinds{};
    for (int c = 0; c < 256; ++c) {
        Kind kind = kSingle;
        if (c >= 0x80) kind = kHigh;
        else if (c >= 'A' && c <= 'Z') kind = kUpper;
        else if (c >= 'a' && c <= 'z') kind = kLower;
        else if (c >= '0' && c <= '9') kind = kDigit;
        else if (c == '\n') kind = kNewline;
        else if ((c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f) || c == ' ') kind = kBlank;
        kinds[static_cast<size_t>(c)] = kind;
    }
    return kinds;
}

constexpr std::array<Kind, 256> kKinds = make_kinds();

/// Python's regex quantifier bound on a run and on a whitespace run.
constexpr size_t kChunk = 4096;
/// The shortest alphanumeric run read as a run rather than as words and digits.
constexpr size_t kShortestRun = 8;

Kind kind_of(char c) noexcept { return kKinds[static_cast<unsigned char>(c)]; }

bool is_alnum(Kind kind) noexcept { return kind == kUpper || kind == kLower || kind == kDigit; }

/// Python's int(length / divisor): the same double division, truncated.
uint64_t truncated(size_t length, double divisor) noexcept {
    return static_cast<uint64_t>(static_cast<double>(length) / divisor);
}

/// `_word` of a word of `length` letters, `capitals` when they are all capitals.
uint64_t word_pieces(size_t length, bool capitals) noexcept {
    if (capitals && length >= 4) return truncated(length, 1.5) + 1;
    return length < 16 ? (length + 8) / 9 : truncated(length, 1.8) + 1;
}

struct Chunks {
    uint64_t pieces = 0;
    size_t count = 0;
    size_t digits = 0;
};

/// The words and digit triples of ASCII letters and digits, as `[A-Z]*[a-z]+|[A-Z]+|\d{1,3}`
/// finds them left to right.
Chunks read_chunks(std::string_view alnum) noexcept {
    Chunks chunks;
    const size_t size = alnum.size();
    size_t at = 0;
    while (at < size) {
        const Kind kind = kind_of(alnum[at]);
        size_t end = at + 1;
        if (kind == kDigit) {
            while (end < size && end - at < 3 && kind_of(alnum[end]) == kDigit) ++end;
            chunks.pieces += 1;
            chunks.digits += end - at;
        } else {
            while (kind == kUpper && end < size && kind_of(alnum[end]) == kUpper) ++end;
            // Capitals take the small letters after them, or stand alone when none follow.
            const bool capitals = kind == kUpper && (end == size || kind_of(alnum[end]) != kLower);
            if (!capitals) {
                while (end < size && kind_of(alnum[end]) == kLower) ++end;
            }
            chunks.pieces += word_pieces(end - at, capitals);
        }
        ++chunks.count;
        at = end;
    }
    return chunks;
}

/// `_run` of a run of 8 to 4,096 ASCII letters and digits.
uint64_t run_pieces(std::string_view run) noexcept {
    const Chunks chunks = read_chunks(run);
    const size_t length = run.size();
    uint64_t pieces = chunks.pieces;
    if (chunks.digits != length && (3 * chunks.count > length || length >= 20)) {
        pieces = std::max(pieces, truncated(length, 1.2) + 1);
    }
    return pieces;
}

/// A whitespace chunk of 2 to 4,096 characters: a piece per 16 alike characters.
uint64_t space_pieces(std::string_view space) noexcept {
    uint64_t pieces = 0;
    size_t at = 0;
    while (at < space.size()) {
        size_t end = at + 1;
        while (end < space.size() && space[end] == space[at]) ++end;
        pieces += (end - at + 15) / 16;
        at = end;
    }
    return pieces;
}

/// 1 where whitespace ending at `end` (not in a newline) meets a digit: o200k joins a
/// blank to a word or to punctuation after it, never to a digit.
uint64_t before_digit(std::string_view utf8, size_t end) noexcept {
    return end < utf8.size() && kind_of(utf8[end]) == kDigit && utf8[end - 1] != '\n' ? 1 : 0;
}

}  // namespace

uint64_t count_tokens_utf8(std::string_view utf8) noexcept {
    const size_t size = utf8.size();
    uint64_t pieces = 0;
    size_t at = 0;
    while (at < size) {
        const Kind kind = kind_of(utf8[at]);
        size_t end = at + 1;
        if (kind == kHigh) {
            while (end < size && kind_of(utf8[end]) == kHigh) ++end;
            pieces += end - at;
        } else if (is_alnum(kind)) {
            // No earlier piece ends inside a run of letters and digits, so each run is read
            // from its start: 4,096 at a time while 8 or more are left, the rest as words.
            while (end < size && is_alnum(kind_of(utf8[end]))) ++end;
            while (end - at >= kShortestRun) {
                const size_t length = std::min(end - at, kChunk);
                pieces += run_pieces(utf8.substr(at, length));
                at += length;
            }
            pieces += read_chunks(utf8.substr(at, end - at)).pieces;
        } else if (kind == kBlank || kind == kNewline) {
            while (end < size && (kind_of(utf8[end]) == kBlank || kind_of(utf8[end]) == kNewline)) {
                ++end;
            }
            while (end - at >= 2) {
                const size_t length = std::min(end - at, kChunk);
                pieces += space_pieces(utf8.substr(at, length)) +
                          before_digit(utf8, at + length);
                at += length;
            }
            // A blank left alone is free but before a digit; a newline alone is a piece.
            if (at < end) pieces += utf8[at] == '\n' ? 1 : before_digit(utf8, end);
        } else {
            pieces += 1;
        }
        at = end;
    }
    return pieces + pieces / 10 + 1;
}

}  // namespace qm
