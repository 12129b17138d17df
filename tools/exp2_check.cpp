// Checks qm::exp2_correctly_rounded against MPFR: every float input, or a sample.
//
//   exp2_check [--threads T]        every one of the 2^32 inputs (the default)
//   exp2_check --sample N [--seed S] N random inputs with a finite non-zero
//                                    result, every listed hard case and the edges
//   exp2_check --emit-hard-cases F   every input, then writes the hard-case list to F
//
// Exits 0 when every result matches, 1 on any mismatch, 2 on a usage error.
//
// MPFR at every input would take an hour, so the exhaustive run uses an
// independent reference: x = n + i/256 + z with n and i rounded to nearest, a
// 257-entry table of 2^(i/256) and the Taylor coefficients of 2^z, both computed
// by MPFR at start-up and rounded to long double (64-bit significand), and a
// degree-6 polynomial on |z| <= 2^-9. Its relative error is below 2^-62.4 (table
// 2^-64, polynomial remainder 2^-79, Horner tail 2^-70, final sum and product
// 2^-64 each), so when it lies more than 2^-61 (relative) from a rounding
// midpoint its rounding is the correct one. Inputs closer than that, inputs that
// may be hard cases, and one input in 65536 (as a check of the reference itself)
// are decided by MPFR: 2^x at 24 bits, subnormalized in binary32's exponent range.
#include <mpfr.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cfloat>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/exp2.h"

static_assert(LDBL_MANT_DIG >= 64, "the reference needs a long double of at least 64 bits");

namespace {

uint32_t bits_of(float x) { return std::bit_cast<uint32_t>(x); }
float float_of(uint32_t b) { return std::bit_cast<float>(b); }

/// Results neither +0 nor +inf (nor NaN): the inputs that need real work.
bool in_range(float x) { return x > -150.0f && x < 128.0f; }

/// The result every correctly rounded exp2f gives outside (-150, 128).
uint32_t special_result(float x) {
    if (std::isnan(x)) return 0x7fc00000u;  // any NaN; compared as "is NaN"
    return x < 0.0f ? 0u : 0x7f800000u;
}

/// Constants of the reference, computed once by MPFR.
struct Reference {
    long double table[257];  // 2^(i/256), i = -128..128
    long double c[7];        // (ln 2)^k / k!, k = 0..6

    Reference() {
        mpfr_t a, b;
        mpfr_inits2(256, a, b, static_cast<mpfr_ptr>(nullptr));
        for (int i = -128; i <= 128; ++i) {
            mpfr_set_si(a, i, MPFR_RNDN);
            mpfr_div_ui(a, a, 256, MPFR_RNDN);  // exact
            mpfr_exp2(b, a, MPFR_RNDN);
            table[i + 128] = mpfr_get_ld(b, MPFR_RNDN);
        }
        mpfr_const_log2(a, MPFR_RNDN);
        mpfr_set_ui(b, 1, MPFR_RNDN);
        for (int k = 0; k <= 6; ++k) {
            if (k > 0) {
                mpfr_mul(b, b, a, MPFR_RNDN);
                mpfr_div_ui(b, b, static_cast<unsigned long>(k), MPFR_RNDN);
            }
            c[k] = mpfr_get_ld(b, MPFR_RNDN);
        }
        mpfr_clears(a, b, static_cast<mpfr_ptr>(nullptr));
    }

    /// 2^x for x in (-150, 128) with relative error below 2^-62.4.
    long double eval(float x) const {
        const double xd = x;
        const double n = std::floor(xd + 0.5);           // exact: xd has 24 bits
        const double f = xd - n;                          // exact, |f| <= 1/2
        const double i = std::floor(f * 256.0 + 0.5);     // -128..128
        const long double z = static_cast<long double>(f - i / 256.0);  // exact, |z| <= 2^-9
        long double p = c[6];
        for (int k = 5; k >= 1; --k) p = c[k] + z * p;
        const long double m = table[static_cast<int>(i) + 128] * (1.0L + z * p);
        return std::ldexp(m, static_cast<int>(n));  // exact scaling
    }
};

/// MPFR's verdict and exact distances; one per thread (MPFR's exponent range is per thread).
class Mpfr {
public:
    Mpfr() {
        mpfr_set_emin(-148);  // binary32: smallest subnormal 2^-149 = 0.1b * 2^-148
        mpfr_set_emax(128);
        mpfr_init2(x_, 24);
        mpfr_init2(y_, 24);
        mpfr_init2(f_, 256);
        mpfr_init2(m_, 160);
    }
    ~Mpfr() { mpfr_clears(x_, y_, f_, m_, static_cast<mpfr_ptr>(nullptr)); }
    Mpfr(const Mpfr&) = delete;
    Mpfr& operator=(const Mpfr&) = delete;

    /// 2^x correctly rounded to binary32, subnormals and overflow included.
    uint32_t rounded(float x) {
        mpfr_set_flt(x_, x, MPFR_RNDN);
        const int inexact = mpfr_exp2(y_, x_, MPFR_RNDN);
        mpfr_subnormalize(y_, inexact, MPFR_RNDN);
        return bits_of(mpfr_get_flt(y_, MPFR_RNDN));
    }

    /// Distance of 2^(x - floor x) in [1, 2) from the nearest midpoint of the
    /// grid with `kept` fraction bits, in units of 2^-52.
    double midpoint_units(float x, int floor_x, int kept) {
        mpfr_set_flt(f_, x, MPFR_RNDN);
        mpfr_sub_si(f_, f_, floor_x, MPFR_RNDN);  // exact at 256 bits
        mpfr_exp2(m_, f_, MPFR_RNDN);
        mpfr_mul_2si(m_, m_, kept, MPFR_RNDN);
        mpfr_frac(m_, m_, MPFR_RNDN);
        mpfr_sub_d(m_, m_, 0.5, MPFR_RNDN);
        mpfr_abs(m_, m_, MPFR_RNDN);
        mpfr_mul_2si(m_, m_, 52 - kept, MPFR_RNDN);
        return mpfr_get_d(m_, MPFR_RNDN);
    }

private:
    mpfr_t x_, y_, f_, m_;
};

/// The float nearest to `v` (one hardware rounding) and the exact distance of `v`
/// from the rounding midpoint between it and its neighbour on `v`'s side.
struct Rounded {
    float nearest;
    long double distance;
};
Rounded round_to_float(long double v) {
    const float nearest = static_cast<float>(v);
    const float other = nextafterf(nearest, v > nearest ? INFINITY : -INFINITY);
    const long double mid = (static_cast<long double>(nearest) + other) / 2;  // exact
    return {nearest, std::fabs(v - mid)};  // exact: v and mid are close
}

int floor_of(float x) { return static_cast<int>(std::floor(static_cast<double>(x))); }
int kept_bits(int floor_x) { return floor_x >= -126 ? 23 : floor_x + 149; }

struct Tally {
    uint64_t finite = 0;     // inputs with a finite non-zero result
    uint64_t special = 0;    // NaN, zero and infinite results
    uint64_t by_mpfr = 0;    // decided by MPFR
    uint64_t mismatches = 0;
    std::vector<uint32_t> hard;                     // x_bits of hard cases found
    std::vector<std::pair<uint32_t, uint32_t>> bad;  // first mismatches: x, expected

    void add(const Tally& o) {
        finite += o.finite;
        special += o.special;
        by_mpfr += o.by_mpfr;
        mismatches += o.mismatches;
        hard.insert(hard.end(), o.hard.begin(), o.hard.end());
        for (auto b : o.bad) {
            if (bad.size() < 20) bad.push_back(b);
        }
    }
    void mismatch(uint32_t x, uint32_t expected) {
        ++mismatches;
        if (bad.size() < 20) bad.emplace_back(x, expected);
    }
};

bool same_result(float got, uint32_t expected) {
    if (std::isnan(float_of(expected))) return std::isnan(got);
    return bits_of(got) == expected;
}

/// Checks one input with the long double reference, asking MPFR where it must.
void check_one(uint32_t xb, const Reference& ref, Mpfr& mpfr, Tally& tally) {
    const float x = float_of(xb);
    const float got = qm::exp2_correctly_rounded(x);
    if (!in_range(x)) {
        ++tally.special;
        if (!same_result(got, special_result(x))) tally.mismatch(xb, special_result(x));
        return;
    }
    ++tally.finite;
    const long double v = ref.eval(x);
    const auto [nearest, dist] = round_to_float(v);
    const int fx = floor_of(x);
    const long double scale = std::ldexp(1.0L, fx);
    const bool may_be_hard =
        dist <= (qm::exp2_detail::kHardCaseUnits * 0x1p-52L + 0x1p-58L) * scale;
    uint32_t expected = bits_of(nearest);
    if (may_be_hard || dist <= 0x1p-61L * v || (xb & 0xffffu) == 0x5a5au) {
        ++tally.by_mpfr;
        const uint32_t exact = mpfr.rounded(x);
        if (!may_be_hard && dist > 0x1p-61L * v && exact != expected) {
            std::fprintf(stderr, "reference wrong at x = %a\n", static_cast<double>(x));
            std::exit(1);
        }
        expected = exact;
        if (may_be_hard && mpfr.midpoint_units(x, fx, kept_bits(fx)) <=
                               qm::exp2_detail::kHardCaseUnits) {
            tally.hard.push_back(xb);
        }
    }
    if (bits_of(got) != expected) tally.mismatch(xb, expected);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void print_mismatches(const Tally& t) {
    for (auto [xb, expected] : t.bad) {
        std::printf("  MISMATCH x = %a (0x%08" PRIx32 "): got %a, expected %a\n",
                    static_cast<double>(float_of(xb)), xb,
                    static_cast<double>(qm::exp2_correctly_rounded(float_of(xb))),
                    static_cast<double>(float_of(expected)));
    }
}

std::vector<uint32_t> listed_hard_cases() {
    std::vector<uint32_t> listed;
    for (const auto& c : qm::exp2_detail::hard_cases()) listed.push_back(c.x_bits);
    return listed;
}

int exhaustive(unsigned threads, const char* emit_path) {
    const auto start = std::chrono::steady_clock::now();
    const Reference ref;
    constexpr uint64_t kChunk = uint64_t{1} << 22;
    std::atomic<uint64_t> next{0};
    std::vector<Tally> tallies(threads);
    std::vector<std::thread> pool;
    for (unsigned w = 0; w < threads; ++w) {
        pool.emplace_back([&, w] {
            Mpfr mpfr;
            for (;;) {
                const uint64_t begin = next.fetch_add(kChunk, std::memory_order_relaxed);
                if (begin >= (uint64_t{1} << 32)) break;
                for (uint64_t b = begin; b < begin + kChunk; ++b) {
                    check_one(static_cast<uint32_t>(b), ref, mpfr, tallies[w]);
                }
            }
        });
    }
    for (auto& t : pool) t.join();
    Tally total;
    for (const auto& t : tallies) total.add(t);
    std::sort(total.hard.begin(), total.hard.end());

    std::printf("exp2 exhaustive: %" PRIu64 " inputs with a finite non-zero result, %" PRIu64
                " with NaN, zero or infinite result, %" PRIu64 " decided by MPFR\n",
                total.finite, total.special, total.by_mpfr);
    const bool list_ok = total.hard == listed_hard_cases();
    std::printf("hard cases: %zu found, %zu listed%s\n", total.hard.size(),
                qm::exp2_detail::hard_cases().size(), list_ok ? "" : " -- LIST DIFFERS");
    print_mismatches(total);
    std::printf("mismatches: %" PRIu64 "; %u threads, %.1f s\n", total.mismatches, threads,
                seconds_since(start));
    if (emit_path != nullptr) {
        // Written only now, so a failed run never leaves a truncated list behind.
        FILE* out = std::fopen(emit_path, "w");
        if (out == nullptr) {
            std::perror(emit_path);
            return 1;
        }
        Mpfr mpfr;
        std::fprintf(out,
                     "// Generated by tools/exp2_check.sh --emit-hard-cases: inputs whose 2^x lies\n"
                     "// within %d * 2^-52 (relative to 2^floor(x)) of a rounding midpoint. Do not "
                     "edit.\n",
                     qm::exp2_detail::kHardCaseUnits);
        for (uint32_t xb : total.hard) {
            const float x = float_of(xb);
            const uint32_t r = mpfr.rounded(x);
            std::fprintf(out, "{0x%08" PRIx32 "u, 0x%08" PRIx32 "u},  // 2^%a ~ %a, %.2f units\n",
                         xb, r, static_cast<double>(x), static_cast<double>(float_of(r)),
                         mpfr.midpoint_units(x, floor_of(x), kept_bits(floor_of(x))));
        }
        std::printf("hard-case list written to %s\n", emit_path);
        return std::fclose(out) == 0 ? 0 : 1;
    }
    return total.mismatches == 0 && list_ok ? 0 : 1;
}

int sampled(uint64_t n, uint64_t seed) {
    const auto start = std::chrono::steady_clock::now();
    const Reference ref;
    Mpfr mpfr;
    Tally tally;
    std::vector<uint32_t> inputs;
    for (const auto& c : qm::exp2_detail::hard_cases()) inputs.push_back(c.x_bits);
    const float edges[] = {-0x1.2bfffep+7f, -149.5f, -149.0f, -127.0f, -126.5f, -126.0f,
                           -0x1.fffffep-26f, 0x1.fffffep-26f, 0x1p-25f, -0x1p-25f, 0x1p-6f,
                           -0x1p-6f, 0.5f, -0.5f, 1.0f, -1.0f, 127.0f, 0x1.fffffep+6f,
                           0x1p-149f, -0x1p-149f, 0.0f, -0.0f};
    for (float e : edges) inputs.push_back(bits_of(e));
    std::mt19937_64 rng(seed);
    while (inputs.size() < n + std::size(edges) + qm::exp2_detail::hard_cases().size()) {
        const uint32_t xb = static_cast<uint32_t>(rng());
        if (in_range(float_of(xb))) inputs.push_back(xb);
    }
    // Every result class outside the finite range, one input of each.
    const uint32_t specials[] = {0x7f800000u, 0xff800000u, 0x7fc00000u, 0xffc00001u, 0x7f800001u,
                                 bits_of(-150.0f), bits_of(-1e30f), bits_of(128.0f),
                                 bits_of(3e38f)};
    for (uint32_t xb : specials) check_one(xb, ref, mpfr, tally);
    for (uint32_t xb : inputs) {
        const float x = float_of(xb);
        ++tally.finite;
        ++tally.by_mpfr;
        const uint32_t exact = mpfr.rounded(x);
        if (bits_of(qm::exp2_correctly_rounded(x)) != exact) tally.mismatch(xb, exact);
        // The reference must agree wherever it claims to decide.
        const long double v = ref.eval(x);
        const auto [nearest, dist] = round_to_float(v);
        if (dist > 0x1p-61L * v && bits_of(nearest) != exact) {
            std::printf("reference wrong at x = %a\n", static_cast<double>(x));
            return 1;
        }
    }
    for (const auto& c : qm::exp2_detail::hard_cases()) {
        const float x = float_of(c.x_bits);
        if (mpfr.midpoint_units(x, floor_of(x), kept_bits(floor_of(x))) >
            qm::exp2_detail::kHardCaseUnits) {
            std::printf("listed hard case 0x%08" PRIx32 " is not hard\n", c.x_bits);
            return 1;
        }
    }
    std::printf("exp2 sample: %" PRIu64 " inputs against MPFR (%" PRIu64
                " random, %zu hard cases, %zu edges), %" PRIu64 " special inputs\n",
                tally.finite, n, qm::exp2_detail::hard_cases().size(), std::size(edges),
                tally.special);
    print_mismatches(tally);
    std::printf("mismatches: %" PRIu64 "; %.1f s\n", tally.mismatches, seconds_since(start));
    return tally.mismatches == 0 ? 0 : 1;
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: exp2_check [--threads T] [--emit-hard-cases FILE]\n"
                 "       exp2_check --sample N [--seed S]\n");
    std::exit(2);
}

uint64_t number(const char* text) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0') usage();
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t sample = 0, seed = 20240611, threads = 2;
    const char* emit = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 < argc && arg == "--emit-hard-cases") {
            emit = argv[++i];
        } else if (i + 1 < argc && arg == "--sample") {
            sample = number(argv[++i]);
        } else if (i + 1 < argc && arg == "--seed") {
            seed = number(argv[++i]);
        } else if (i + 1 < argc && arg == "--threads") {
            threads = std::clamp<uint64_t>(number(argv[++i]), 1, 64);
        } else {
            usage();
        }
    }
    if (sample != 0) return sampled(sample, seed);
    return exhaustive(static_cast<unsigned>(threads), emit);
}
