// Unicode character properties and lowercasing over the generated two-level tables.
#include "unicode_props.h"

#include <cstdint>
#include <cstring>

#include "utf8.h"

namespace qm {
namespace {

#include "unicode_tables.inc"

static_assert(kLongestLowercase <= kMaxLowercaseLength);

constexpr uint8_t kMultiLowerBit = 0x80;
constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;
// Stands in for a malformed byte in the sigma context: neither cased nor case-ignorable.
constexpr char32_t kReplacement = 0xFFFD;

/// Index of the record of `cp` (which must not exceed U+10FFFF).
inline uint32_t record_of(char32_t cp) noexcept {
    const uint32_t block = kIndex1[cp >> kShift];
    return kIndex2[(block << kShift) + (cp & kMask)];
}

/// The record bits of `cp`, internal bit included; 0 beyond U+10FFFF.
inline uint8_t flags_of(char32_t cp) noexcept {
    return cp > kMaxCodePoint ? 0 : kRecordFlags[record_of(cp)];
}

/// Writes the UTF-8 encoding of `cp` to `buf` and returns its length.
inline size_t encode_utf8(char32_t cp, char* buf) noexcept {
    size_t n;
    if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        utf8::encode_two_byte(cp, buf);
        n = 2;
    } else if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        buf[0] = static_cast<char>(0xF0 | (cp >> 18));
        buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    return n;
}

/// Lowercase of the two-byte characters U+0080 to U+07FF whose mapping is one
/// character of two bytes again (Latin, Greek, Cyrillic, Hebrew, Arabic...), with
/// bit 15 set for White_Space; 0 where the general path must decide (the sigma,
/// multi-character mappings). Built once from the tables at load time.
struct TwoByteLower {
    uint16_t entry[0x800] = {};
    TwoByteLower() noexcept {
        for (char32_t cp = 0x80; cp < 0x800; ++cp) {
            if (cp == kCapitalSigma) continue;
            char32_t mapped[kMaxLowercaseLength];
            if (lowercase_mapping(cp, mapped) != 1 || mapped[0] < 0x80 || mapped[0] >= 0x800) continue;
            entry[cp] = static_cast<uint16_t>(mapped[0] | (is_white_space(cp) ? 0x8000 : 0));
        }
    }
};
const TwoByteLower kTwoByteLower;

/// Decodes the character at `pos` and advances past it; a malformed byte is
/// consumed alone and reported as false.
inline bool decode_checked(std::string_view text, size_t& pos, char32_t& cp) noexcept {
    const size_t start = pos;
    cp = utf8::decode(text, pos);
    return !(pos - start == 1 && cp >= 0x80);
}

/// The character that ends at `pos`, moving `pos` back to its start.
char32_t decode_before(std::string_view text, size_t& pos) noexcept {
    size_t start = pos - 1;
    while (start > 0 && pos - start < 4 &&
           !utf8::is_char_start(static_cast<unsigned char>(text[start]))) {
        --start;
    }
    size_t next = start;
    char32_t cp;
    if (decode_checked(text, next, cp) && next == pos) {
        pos = start;
        return cp;
    }
    --pos;
    return kReplacement;
}

/// Final_Sigma: skipping case-ignorable characters, a cased character comes
/// before the sigma at [start, end) and none comes after it.
bool is_final_sigma(std::string_view text, size_t start, size_t end) noexcept {
    size_t pos = start;
    char32_t before = 0;
    bool found = false;
    while (pos > 0) {
        before = decode_before(text, pos);
        if (!is_case_ignorable(before)) {
            found = true;
            break;
        }
    }
    if (!found || !is_cased(before)) return false;
    pos = end;
    while (pos < text.size()) {
        char32_t after;
        if (!decode_checked(text, pos, after)) after = kReplacement;
        if (!is_case_ignorable(after)) return !is_cased(after);
    }
    return true;
}

/// Length of the leading run of ASCII bytes of `text` from `pos`.
size_t ascii_run(std::string_view text, size_t pos) noexcept {
    const size_t begin = pos;
    for (; pos + 8 <= text.size(); pos += 8) {
        uint64_t word;
        std::memcpy(&word, text.data() + pos, 8);
        if (word & 0x8080808080808080ull) break;
    }
    while (pos < text.size() && static_cast<unsigned char>(text[pos]) < 0x80) ++pos;
    return pos - begin;
}

/// Lowercases `n` ASCII bytes from `in` into `out`, eight at a time where it can.
void lower_ascii(const char* in, char* out, size_t n) noexcept {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, in + i, 8);
        // Every byte is below 0x80, so these additions never carry between bytes:
        // bit 7 of a byte becomes "byte >= 'A'" and "byte > 'Z'" respectively.
        const uint64_t at_least_a = word + kOnes * (0x80 - 'A');
        const uint64_t above_z = word + kOnes * (0x7F - 'Z');
        const uint64_t upper = at_least_a & ~above_z & (kOnes * 0x80);
        word |= upper >> 2;
        std::memcpy(out + i, &word, 8);
    }
    for (; i < n; ++i) {
        const unsigned char byte = static_cast<unsigned char>(in[i]);
        out[i] = static_cast<char>(static_cast<unsigned>(byte - 'A') < 26u ? byte | 0x20 : byte);
    }
}

}  // namespace

const char* unicode_version() noexcept { return kUcdVersion; }

uint8_t unicode_property_bits(char32_t cp) noexcept { return flags_of(cp) & ~kMultiLowerBit; }

bool is_white_space(char32_t cp) noexcept { return flags_of(cp) & uprop::kWhiteSpace; }

bool is_alphabetic(char32_t cp) noexcept { return flags_of(cp) & uprop::kAlphabetic; }

bool is_numeric(char32_t cp) noexcept { return flags_of(cp) & uprop::kNumeric; }

bool is_alphanumeric(char32_t cp) noexcept {
    return flags_of(cp) & (uprop::kAlphabetic | uprop::kNumeric);
}

bool is_cased(char32_t cp) noexcept { return flags_of(cp) & uprop::kCased; }

bool is_case_ignorable(char32_t cp) noexcept { return flags_of(cp) & uprop::kCaseIgnorable; }

size_t lowercase_mapping(char32_t cp, char32_t (&out)[kMaxLowercaseLength]) noexcept {
    if (cp > kMaxCodePoint) {
        out[0] = cp;
        return 1;
    }
    const uint32_t record = record_of(cp);
    const int32_t lower = kRecordLower[record];
    if (kRecordFlags[record] & kMultiLowerBit) {
        const char32_t* entry = kMultiLower + lower;
        const size_t length = entry[0];
        for (size_t i = 0; i < length; ++i) out[i] = entry[1 + i];
        return length;
    }
    out[0] = static_cast<char32_t>(static_cast<int32_t>(cp) + lower);
    return 1;
}

const uint16_t* two_byte_lowercase_table() noexcept { return kTwoByteLower.entry; }

size_t lowercase_char(std::string_view text, size_t& pos, char* out, bool& white) noexcept {
    const size_t start = pos;
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (const char32_t two = utf8::two_byte_at(text.data() + pos, text.size() - pos); two != 0) {
        if (const uint16_t entry = kTwoByteLower.entry[two]; entry != 0) {
            utf8::encode_two_byte(entry & 0x7FF, out);
            white = entry & 0x8000;
            pos += 2;
            return 2;
        }
    }
    char32_t cp;
    if (!decode_checked(text, pos, cp)) {
        out[0] = static_cast<char>(lead);
        white = is_white_space(lead);
        return 1;
    }
    if (cp == kCapitalSigma) {
        white = false;
        return encode_utf8(is_final_sigma(text, start, pos) ? kFinalSigma : kSmallSigma, out);
    }
    char32_t mapped[kMaxLowercaseLength];
    const size_t length = lowercase_mapping(cp, mapped);
    if (length == 1 && mapped[0] == cp) {
        std::memcpy(out, text.data() + start, pos - start);
        white = is_white_space(cp);
        return pos - start;
    }
    size_t written = 0;
    white = false;
    for (size_t i = 0; i < length; ++i) {
        written += encode_utf8(mapped[i], out + written);
        white |= is_white_space(mapped[i]);
    }
    return written;
}

void append_lowercase(std::string& out, std::string_view utf8) {
    // Lowercasing grows a character by at most half its bytes (two bytes to three).
    out.reserve(out.size() + utf8.size() + utf8.size() / 2);
    size_t pos = 0;
    while (pos < utf8.size()) {
        if (const size_t run = ascii_run(utf8, pos); run != 0) {
            const size_t old = out.size();
            out.resize(old + run);
            lower_ascii(utf8.data() + pos, out.data() + old, run);
            pos += run;
            continue;
        }
        // The one character step, shared with the gauge's lowercase copy.
        char bytes[kMaxLowercaseBytes];
        bool white;
        out.append(bytes, lowercase_char(utf8, pos, bytes, white));
    }
}

}  // namespace qm
