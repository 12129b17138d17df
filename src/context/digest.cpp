// Digest of a block's text: whitespace-collapsed onto one line and cut to a short prefix.
#include "digest.h"

#include <algorithm>

#include "text/utf8.h"
#include "text/words.h"

namespace qm {

namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";  // U+2026

/// A text prefix this long almost always holds the cut; see make_digest.
constexpr size_t kProbe = 512;

/// Appends the words of `text`, single-space joined, to `out` (empty on entry) and
/// stops at the first character start at or after the cut offset. Returns whether
/// it stopped there, in which case the bytes from that start on are not appended.
bool join_until_cut(std::string_view text, std::string& out) {
    bool cut = false;
    const auto append = [&](std::string_view piece) {
        const size_t skip = out.size() >= kDigestCut ? 0 : kDigestCut - out.size();
        for (size_t i = skip; i < piece.size(); ++i) {
            if (utf8::is_char_start(static_cast<unsigned char>(piece[i]))) {
                out.append(piece.substr(0, i));
                cut = true;
                return;
            }
        }
        out.append(piece);
    };
    bool first = true;
    for_each_word(text, [&](std::string_view word) {
        if (cut) return;
        if (!first) append(" ");
        first = false;
        if (!cut) append(word);
    });
    return cut;
}

}  // namespace

/// Only the joined text up to the cut is ever built.
std::string make_digest(std::string_view text) {
    std::string out;
    out.reserve(std::min(text.size(), kDigestCut + 3) + kEllipsis.size());
    if (text.size() > kProbe) {
        // A long text is first joined from a prefix that ends at a character start.
        // Its joined text is a prefix of the whole text's joined text, so a cut
        // found in it is the whole text's cut, and the rest need not be scanned.
        size_t end = kProbe;
        while (end > 0 && !utf8::is_char_start(static_cast<unsigned char>(text[end]))) --end;
        if (join_until_cut(text.substr(0, end), out)) return out.append(kEllipsis);
        out.clear();
    }
    if (join_until_cut(text, out)) out.append(kEllipsis);
    return out;
}

}  // namespace qm
