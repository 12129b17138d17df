// Generates words that collide in the low bits of a fixed (unkeyed) hash, the
// input that made the kernels' hash sets quadratic before their slots were keyed
// per process. benchmarks/run.py builds it and times the kernels on its output
// beside ordinary words of the same size; a hash set that places words by a fixed
// function shows up there as a ratio of tens to hundreds.
//
//   collide_words MODE COUNT BITS [WINDOW [SEED]]
//
// MODE is the hash attacked:
//   std      std::hash<std::string_view> of the word (the word set's former hash)
//   sip      SipHash-1-3 of the word under the all-zero key
//   shingle  the shingle hash of saturation_scan (SipHash-1-3, zero key, each token
//            followed by 0xFF) over the last WINDOW tokens: every run of WINDOW
//            consecutive words collides, not just the words
// It prints COUNT distinct words of eight lowercase letters and digits, separated by single
// spaces, whose hashes agree in their low BITS bits. About 10,000 words at 15 bits
// take a few seconds on two cores; the work is split over the machine's cores.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "../src/common/siphash.h"

namespace {

constexpr size_t kLength = 8;

/// Candidate words: a counter from a random start, five bits a character out of
/// 32 (lowercase letters and six digits, all distinct and unchanged by
/// lowercasing), so consecutive candidates cost a few shifts each.
struct Candidates {
    uint64_t counter;
    explicit Candidates(uint64_t seed) {
        uint64_t z = seed * 0x9e3779b97f4a7c15ull + 0x632be59bd9b4e019ull;  // splitmix64
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        counter = z ^ (z >> 31);
    }
    void next(char* out) {
        static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz012345";
        const uint64_t bits = counter++;
        for (size_t i = 0; i < kLength; ++i) out[i] = kLetters[(bits >> (5 * i)) & 31];
    }
};

enum class Mode { Std, Sip, Shingle };

/// `count` words for one worker. In shingle mode the words form one run whose
/// every window of `window` words collides; its first window - 1 words are free.
std::vector<std::string> generate(Mode mode, size_t count, uint64_t mask, size_t window,
                                  uint64_t seed) {
    Candidates rng(seed);
    std::vector<std::string> words;
    words.reserve(count);
    char candidate[kLength];
    while (words.size() < count) {
        if (mode == Mode::Shingle) {
            const size_t have = words.size();
            if (have + 1 < window) {
                rng.next(candidate);
                words.emplace_back(candidate, kLength);
                continue;
            }
            // Hash state after the window's earlier words, then try last words.
            qm::SipHasher13 prefix;
            for (size_t k = have + 1 - window; k < have; ++k) {
                prefix.write(words[k]);
                prefix.write_byte(qm::kTextTerminator);
            }
            for (;;) {
                rng.next(candidate);
                qm::SipHasher13 hasher = prefix;
                hasher.write(candidate, kLength);
                hasher.write_byte(qm::kTextTerminator);
                if ((hasher.finish() & mask) == 0) break;
            }
        } else {
            for (;;) {
                rng.next(candidate);
                const std::string_view view(candidate, kLength);
                const uint64_t hash = mode == Mode::Std
                                          ? static_cast<uint64_t>(std::hash<std::string_view>{}(view))
                                          : qm::siphash13(0, 0, candidate, kLength);
                if ((hash & mask) == 0) break;
            }
        }
        words.emplace_back(candidate, kLength);
    }
    return words;
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: collide_words std|sip|shingle COUNT BITS [WINDOW [SEED]]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) usage();
    const std::string_view name = argv[1];
    const Mode mode = name == "std" ? Mode::Std : name == "sip" ? Mode::Sip
                      : name == "shingle" ? Mode::Shingle : (usage(), Mode::Std);
    const size_t count = std::strtoull(argv[2], nullptr, 10);
    const unsigned bits = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
    const size_t window = argc > 4 ? std::max<size_t>(1, std::strtoull(argv[4], nullptr, 10)) : 1;
    const uint64_t seed = argc > 5 ? std::strtoull(argv[5], nullptr, 10) : 1;
    if (bits > 40 || count == 0) usage();
    const uint64_t mask = (uint64_t{1} << bits) - 1;

    const size_t workers = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 16);
    std::vector<std::vector<std::string>> parts(workers);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < workers; ++t) {
        const size_t share = count / workers + (t < count % workers ? 1 : 0);
        threads.emplace_back([&, t, share] {
            parts[t] = generate(mode, share, mask, window, seed * 1000003 + t);
        });
    }
    for (std::thread& thread : threads) thread.join();

    // Words repeat with small odds; drop a repeat so that every word is distinct
    // (not in shingle mode, where each word completes its window's collision).
    std::unordered_set<std::string> seen;
    std::string out;
    for (const auto& part : parts) {
        for (const std::string& word : part) {
            if (mode != Mode::Shingle && !seen.insert(word).second) continue;
            if (!out.empty()) out.push_back(' ');
            out += word;
        }
    }
    out.push_back('\n');
    return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 1;
}
