// Native checks of the Unicode tables, lowercasing, flat sets and shingle hashing.
// With --dump it writes every code point's property bits and lowercase mapping
// to stdout instead, for tests/test_unicode.py to compare with the interpreter.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "effort_gauge_model.h"
#include "text/ascii_block.h"
#include "text/words.h"

#include "text/effort_gauge.h"
#include "common/flat_sets.h"
#include "text/saturation_scan.h"
#include "common/siphash.h"
#include "common/siphash_runs.h"
#include "check.h"
#include "siphash_reference.h"
#include "text/unicode_props.h"

namespace {

std::string lower(std::string_view text) {
    std::string out;
    qm::append_lowercase(out, text);
    return out;
}

uint64_t shingle(std::vector<std::string_view> tokens) {
    return qm::shingle_hash(tokens.data(), tokens.size());
}

void check_hashes() {
    CHECK(shingle({"abc"}) == 0xEF09E0F4895A251Dull);
    CHECK(shingle({"a", "b"}) == 0xF0AEE6AC412CB313ull);
    CHECK(shingle({"ab"}) == 0x66930D61A0CB581Bull);
    CHECK(qm::content_hash("abc") == 0xEF09E0F4895A251Dull);
    CHECK(qm::content_hash("") == 0x30406EA523C53DEFull);
    // A shingle of one token is the content hash of that token, at every length
    // around the eight-byte block boundary.
    const std::string long_token = "0123456789abcdefghij";
    for (size_t n = 0; n <= long_token.size(); ++n) {
        const std::string_view token(long_token.data(), n);
        CHECK(shingle({token}) == qm::content_hash(token));
    }
}

void check_incremental_writes() {
    // Every split of messages up to 40 bytes into two or three writes.
    std::string message;
    int mismatches = 0;
    for (size_t size = 0; size <= 40; ++size) {
        message.push_back(static_cast<char>(0x30 + size * 7));
        const uint64_t expected = reference_siphash13(0, 0, message);
        for (size_t a = 0; a <= message.size(); ++a) {
            for (size_t b = a; b <= message.size(); ++b) {
                qm::SipHasher13 hasher;
                hasher.write(message.data(), a);
                hasher.write(message.data() + a, b - a);
                hasher.write(message.data() + b, message.size() - b);
                mismatches += hasher.finish() != expected;
            }
        }
    }
    CHECK(mismatches == 0);
    CHECK(reference_siphash13(0, 0, "abc\xff") == 0xEF09E0F4895A251Dull);
}

void check_white_space() {
    const char32_t listed[] = {0x85,   0xA0,   0x1680, 0x2028, 0x2029,
                               0x202F, 0x205F, 0x3000};
    int mismatches = 0;
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        bool expected = (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || (cp >= 0x2000 && cp <= 0x200A);
        for (char32_t c : listed) expected |= cp == c;
        mismatches += qm::is_white_space(cp) != expected;
    }
    CHECK(mismatches == 0);
    CHECK(!qm::is_white_space(0x200B));  // zero width space
    CHECK(!qm::is_white_space(0x180E));  // Mongolian vowel separator, White_Space before 6.3
    CHECK(!qm::is_white_space(0x110000));
}

void check_properties() {
    CHECK(qm::is_alphabetic('a') && qm::is_alphabetic(0x4E00) && qm::is_alphabetic(0x00AA));
    CHECK(qm::is_alphabetic(0x0345));   // combining ypogegrammeni: Other_Alphabetic
    CHECK(!qm::is_alphabetic(0x0301));  // combining acute accent
    CHECK(!qm::is_alphabetic('1') && !qm::is_alphabetic(0x1F600));
    CHECK(qm::is_numeric('7') && qm::is_numeric(0x00B2) && qm::is_numeric(0x0663));
    CHECK(qm::is_numeric(0x2160) && qm::is_alphabetic(0x2160));  // Roman numeral one (Nl)
    CHECK(!qm::is_numeric(0x4E00));  // numeric value, but a letter (Lo)
    CHECK(qm::is_alphanumeric(0x00B2) && !qm::is_alphanumeric('-'));
    CHECK(qm::is_cased('A') && qm::is_cased(0x02B0) && !qm::is_cased(0x4E00));
    CHECK(qm::is_case_ignorable('\'') && qm::is_case_ignorable(0x00AD) &&
          qm::is_case_ignorable(0x0301) && !qm::is_case_ignorable('a'));
    CHECK(qm::unicode_property_bits(0x0378) == 0);  // unassigned
    CHECK(qm::unicode_property_bits(0x10FFFF) == 0 && qm::unicode_property_bits(0x110000) == 0);
    CHECK(std::strlen(qm::unicode_version()) >= 5);
}

void check_lowercase() {
    CHECK(lower("HeLLo, WORLD! [\\]^_`@{}") == "hello, world! [\\]^_`@{}");
    std::string ascii;
    for (int round = 0; round < 3; ++round) {
        for (int c = 0; c < 128; ++c) ascii.push_back(static_cast<char>(c));
    }
    std::string expected = ascii;
    for (char& c : expected) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    CHECK(lower(ascii) == expected);
    CHECK(lower("\xC4\xB0") == "i\xCC\x87");                       // U+0130
    CHECK(lower("\xC8\xBA") == "\xE2\xB1\xA5");                    // U+023A grows to 3 bytes
    CHECK(lower("\xE2\x84\xAA") == "k");                           // Kelvin sign
    CHECK(lower("\xC3\x89" "COLE") == "\xC3\xA9" "cole");          // accented Latin
    CHECK(lower("\xF0\x90\x90\x80") == "\xF0\x90\x90\xA8");        // Deseret
    CHECK(lower("\xC3\x9F") == "\xC3\x9F");                        // sharp s stays
    // Final_Sigma.
    CHECK(lower("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3") == "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82");
    CHECK(lower("\xCE\xA3") == "\xCF\x83");                        // isolated
    CHECK(lower("\xCE\xA3\xCE\x91") == "\xCF\x83\xCE\xB1");        // word-initial
    CHECK(lower("A\xCE\xA3'") == "a\xCF\x82'");                    // case-ignorable after
    CHECK(lower("A'\xCE\xA3") == "a'\xCF\x82");                    // case-ignorable between
    CHECK(lower("A\xCE\xA3'B") == "a\xCF\x83'b");                  // cased letter after
    CHECK(lower("A\xCE\xA3\xCE\xA3") == "a\xCF\x83\xCF\x82");
    CHECK(lower("1\xCE\xA3") == "1\xCF\x83");                      // digits are not cased
    CHECK(lower("A \xCE\xA3") == "a \xCF\x83");                    // space is not ignorable
    // Bytes that are not UTF-8 pass through untouched.
    CHECK(lower("\xC0" "A\xFF") == "\xC0" "a\xFF");
    CHECK(lower("\x80\xCE\xA3") == "\x80\xCF\x83");
    CHECK(lower("A\xE2\x82") == "a\xE2\x82");
    CHECK(lower("A\xCE\xA3\xBF") == "a\xCF\x82\xBF");
    std::string appended = "X";
    qm::append_lowercase(appended, "Y");
    CHECK(appended == "Xy");
}

void check_sets_and_scan() {
    qm::HashSet64 set(4);
    CHECK(set.insert(0) && !set.insert(0));
    CHECK(set.insert(16) && set.insert(32) && !set.insert(16));
    set.reserve(5000);  // re-places what it holds, once
    CHECK(set.size() == 2 && !set.insert(32) && !set.insert(0) && set.insert(48) && set.size() == 3);
    qm::ViewSet views(3);
    const std::string padded = "a b a" + std::string(8, ' ');  // views need 7 readable bytes after them
    const std::string_view a1(padded.data(), 1), b(padded.data() + 2, 1), a2(padded.data() + 4, 1);
    CHECK(views.insert(a1) && views.insert(b) && !views.insert(a2));
    CHECK(qm::saturation_scan("a a a a", UINT64_MAX) == 0.0f);
    CHECK(qm::saturation_scan("a b a b", 0) == 0.5f);
    CHECK(qm::saturation_scan("", 0) == 0.0f);
}

void check_hash_runs() {
    // Runs of every block count the vector lanes take and beyond it, in batches
    // that leave every remainder of eight and four, and more than one slice.
    std::string bytes(8192, '\0');
    uint64_t state = 0x2545F4914F6CDD1Dull;
    const auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    };
    for (char& c : bytes) c = static_cast<char>(next());
    std::vector<qm::ByteRun> runs;
    std::vector<uint64_t> expected;
    for (size_t i = 0; i < 1400; ++i) {
        const size_t size = i < 700 ? next() % 300 : 40 + next() % 24;  // all counts, then shingle-like
        const size_t offset = next() % (bytes.size() - size - 7);
        runs.push_back({offset, size});
        expected.push_back(reference_siphash13(0, 0, bytes.substr(offset, size)));
    }
    int mismatches = 0;
    bool vector_path = false;
    for (size_t first : {size_t{0}, size_t{700}}) {
        for (size_t count : {0, 1, 2, 3, 5, 7, 8, 9, 12, 15, 17, 31, 511, 512, 513, 700}) {
            const qm::ByteRun* const slice = runs.data() + first;
            std::vector<uint64_t> scalar(count + 1, 0), lanes(count + 1, 0), chosen(count + 1, 0);
            qm::detail::siphash13_padded_runs_scalar(bytes.data(), slice, count, scalar.data());
            vector_path = qm::detail::siphash13_padded_runs_avx2(bytes.data(), slice, count, lanes.data());
            qm::siphash13_padded_runs(bytes.data(), slice, count, chosen.data());
            for (size_t i = 0; i < count; ++i) {
                mismatches += scalar[i] != expected[first + i] || chosen[i] != expected[first + i];
                mismatches += vector_path && lanes[i] != expected[first + i];
            }
            mismatches += scalar[count] != 0 || lanes[count] != 0 || chosen[count] != 0;  // nothing past
        }
    }
    CHECK(mismatches == 0);
    std::printf("hash runs: %s\n",
                vector_path ? "AVX2 lanes checked" : "no AVX2 on this processor or build");
}

void check_arbitrary_bytes() {
    // The kernels are only handed valid UTF-8, but must stay in bounds on any bytes.
    const unsigned char pieces[] = {'a', 'Z', ' ', '\t', '(', '0', 0x80, 0xBF, 0xC3, 0xCE,
                                    0xA3, 0xE2, 0x80, 0x8B, 0xF0, 0x9F, 0xFF, 0xC4, 0xB0};
    uint64_t state = 0x9E3779B97F4A7C15ull;
    int bad = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const size_t size = (state >> 33) % 48;
        for (size_t i = 0; i < size; ++i) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            text.push_back(static_cast<char>(pieces[(state >> 33) % sizeof pieces]));
        }
        const qm::EffortGauge gauge = qm::effort_gauge(text);
        bad += !(gauge.score >= 0.0f && gauge.score <= 1.0f);
        const float saturation = qm::saturation_scan(text, round % 4);
        bad += !(saturation >= 0.0f && saturation < 1.0f);
    }
    CHECK(bad == 0);
}

/// The one-pass gauge and the packed scan against their plain models, on random
/// mixtures of ASCII, accented letters, sigma, dotted I, White_Space of every width
/// and stray bytes, at lengths that cross the sixteen-byte blocks.
void check_against_models() {
    const char* const pieces[] = {
        "a", "Z", "design", "MUST", "fn", "ok", "N\xC3\x83O", "n\xC3\xA3o", " ", "  ", "\t", "\n",
        "(", ";", "}", "0", "7", ",", "\xC3\x89", "\xC3\xA7", "\xC3\xA0", "\xC3\x85", "\xCE\xA3",
        "\xCE\x91", "\xC4\xB0", "\xC8\xBA", "\xE2\x84\xAA", "\xC2\x85", "\xC2\xA0", "\xE3\x80\x80",
        "\xE2\x80\xA8", "\xE2\x80\x8B", "\xF0\x9F\x98\x80", "\x80", "\xA0", "\x85", "\xC3", "\xE2\x80",
        "\xFF", "\xC0\xA0", "\xC1\x81", "RESTRI\xC3\x87\xC3\x83O", "Obrigat\xC3\xB3rio", "debugging",
    };
    uint64_t state = 0x2545F4914F6CDD1Dull;
    const auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    };
    int gauge_bad = 0;
    int scan_bad = 0;
    const char* first_why = nullptr;
    for (int round = 0; round < 6000; ++round) {
        std::string text;
        const size_t count = next() % 40;
        const size_t kinds = 1 + next() % std::size(pieces);  // some texts draw from few pieces
        for (size_t i = 0; i < count; ++i) text += pieces[next() % kinds];
        const char* why = nullptr;
        if (!model::same_signals(text, qm::effort_gauge(text), &why)) {
            if (gauge_bad++ == 0) first_why = why;
        }
        const uint64_t window = next() % 5;
        std::vector<std::string_view> words;
        qm::for_each_word(text, [&](std::string_view w) { words.push_back(w); });
        const uint64_t w = window == 0 ? 1 : window;
        float expected = 0.0f;
        if (words.size() >= 2 * w) {
            std::set<uint64_t> seen;
            uint64_t duplicates = 0;
            const size_t shingles = words.size() - w + 1;
            for (size_t i = 0; i < shingles; ++i) duplicates += !seen.insert(qm::shingle_hash(&words[i], w)).second;
            expected = static_cast<float>(duplicates) / static_cast<float>(shingles);
        }
        scan_bad += qm::saturation_scan(text, window) != expected;
    }
    CHECK(gauge_bad == 0);
    if (first_why != nullptr) std::fprintf(stderr, "first gauge difference: %s\n", first_why);
    CHECK(scan_bad == 0);
}

/// The SIMD block helpers give the scalar ones' bits on every kind of byte.
void check_blocks() {
    uint64_t state = 0x9E3779B97F4A7C15ull;
    int bad = 0;
    for (int round = 0; round < 20000; ++round) {
        char in[16];
        for (char& c : in) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            const unsigned r = static_cast<unsigned>(state >> 56);
            c = static_cast<char>(round % 2 ? r : r % 0x80);
        }
        char out_simd[16], out_scalar[16];
        const auto a = qm::ascii::simd::lower(in, out_simd);
        const auto b = qm::ascii::scalar::lower(in, out_scalar);
        bad += a.white != b.white || a.digits != b.digits || a.symbols != b.symbols;
        bad += std::memcmp(out_simd, out_scalar, 16) != 0;
        bad += qm::ascii::simd::white(in) != qm::ascii::scalar::white(in);
        bad += qm::ascii::simd::non_ascii(in) != qm::ascii::scalar::non_ascii(in);
        bad += qm::ascii::count(b.white) != static_cast<unsigned>(__builtin_popcount(b.white));
    }
    CHECK(bad == 0);
}

/// What the one-pass gauge relies on, for every code point: a lowercase mapping
/// never yields White_Space or an ASCII digit or code symbol, and grows the UTF-8
/// by at most half; the two-byte table agrees with the general mapping.
void check_lowercase_bounds() {
    int bad = 0;
    const uint16_t* table = qm::two_byte_lowercase_table();
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        char32_t mapped[qm::kMaxLowercaseLength];
        const size_t n = qm::lowercase_mapping(cp, mapped);
        const size_t in_bytes = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        size_t out_bytes = 0;
        for (size_t i = 0; i < n; ++i) {
            const char32_t m = mapped[i];
            out_bytes += m < 0x80 ? 1 : m < 0x800 ? 2 : m < 0x10000 ? 3 : 4;
            if (!(n == 1 && m == cp)) {
                bad += qm::is_white_space(m) || (m >= '0' && m <= '9') ||
                       (m < 0x80 && qm::ascii::is_symbol(static_cast<unsigned char>(m)));
            }
        }
        bad += out_bytes > in_bytes + in_bytes / 2;
        if (cp >= 0x80 && cp < 0x800 && table[cp] != 0) {
            bad += n != 1 || (table[cp] & 0x7FF) != mapped[0] || ((table[cp] >> 15) != qm::is_white_space(cp));
        }
    }
    CHECK(bad == 0);
}

/// Per code point: property bits, mapping length, mapped code points as 3 bytes LE.
int dump() {
    std::vector<unsigned char> out;
    out.reserve(0x110000 * 5);
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        char32_t mapped[qm::kMaxLowercaseLength];
        const size_t n = qm::lowercase_mapping(cp, mapped);
        out.push_back(qm::unicode_property_bits(cp));
        out.push_back(static_cast<unsigned char>(n));
        for (size_t i = 0; i < n; ++i) {
            for (int b = 0; b < 3; ++b) {
                out.push_back(static_cast<unsigned char>(mapped[i] >> (8 * b)));
            }
        }
    }
    return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--dump") == 0) return dump();
    check_hashes();
    check_hash_runs();
    check_incremental_writes();
    check_white_space();
    check_properties();
    check_lowercase();
    check_sets_and_scan();
    check_arbitrary_bytes();
    check_against_models();
    check_blocks();
    check_lowercase_bounds();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
