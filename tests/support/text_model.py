"""Small pure-Python models of the text kernels (White_Space, word splitting, the
token estimate, effort_gauge and saturation_scan) and the text strategies the
property tests draw from.

The models use the interpreter's own str.lower() (full mapping with Final_Sigma)
and, for trimming, str.isalpha() plus the numeric categories; the strategy only
draws characters on which those agree with the Alphabetic property.
"""

import unicodedata

from hypothesis import strategies as st

from support.floats import f32

WHITE_SPACE = frozenset(
    map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
              0x2028, 0x2029, 0x202F, 0x205F, 0x3000])
)

HARD_STEMS = (
    "design", "architect", "optimi", "refactor", "implement", "analy", "compar", "debug",
    "deriv", "evaluat", "integrat", "migrat", "audit", "projet", "arquitet", "otimiz",
    "refator", "implement", "analis", "planej", "avali", "estud", "viabilid", "estrateg",
    "constru", "desenvolv", "valid", "verific", "revis", "integr", "corrij", "corrig",
    "diagnostic", "investig",
)
HARD_WORDS = ("why", "how", "bug", "plan", "erro", "gere", "prove", "error", "falha", "monte",
              "prova", "broken", "depure", "compare")
CONSTRAINT_WORDS = (
    "must", "never", "always", "without", "ensure", "require", "requirement", "constraint",
    "invariant", "except", "deve", "nunca", "sempre", "sem", "garanta", "requisito",
    "restrição", "restricao", "invariante", "exceto", "obrigatório", "obrigatorio",
)
CODE_KEYWORDS = ("fn", "def", "class", "import", "return", "const", "let", "select", "async",
                 "struct", "impl", "function", "var", "pub")
TRIVIAL_WORDS = (
    "ok", "okay", "yes", "no", "thanks", "continue", "sure", "great", "good", "sim", "não",
    "nao", "obrigado", "obrigada", "continue", "prossiga", "segue", "beleza", "certo", "show",
    "valeu",
)
CODE_SYMBOLS = b"();<=>`{}"


def tokens(text):
    """The token estimate of a text: one per four UTF-8 bytes, plus one."""
    return len(text.encode()) // 4 + 1


def split_words(text):
    words, current = [], []
    for ch in text:
        if ch in WHITE_SPACE:
            if current:
                words.append("".join(current))
                current = []
        else:
            current.append(ch)
    if current:
        words.append("".join(current))
    return words


def _keeps(ch):
    return ch.isalpha() or unicodedata.category(ch) in ("Nd", "Nl", "No")


def trim(word):
    start, end = 0, len(word)
    while start < end and not _keeps(word[start]):
        start += 1
    while end > start and not _keeps(word[end - 1]):
        end -= 1
    return word[start:end]


def effort_gauge_model(text):
    lower = text.lower()
    data = lower.encode()
    words = split_words(lower)
    n = len(words)
    trimmed = [trim(w) for w in words]
    hard = sum(1 for t in trimmed if t in HARD_WORDS or any(t.startswith(s) for s in HARD_STEMS))
    constraint = sum(1 for t in trimmed if t in CONSTRAINT_WORDS)
    symbols = sum(data.count(c) for c in CODE_SYMBOLS)
    code = sum(1 for t in trimmed if t in CODE_KEYWORDS) + symbols // 6
    digits = sum(data.count(c) for c in b"0123456789")
    digit_ratio = f32(f32(digits) / f32(len(data))) if data else 0.0
    novelty = f32(f32(len(set(words))) / f32(n)) if n else 0.0
    trivial = sum(1 for t in trimmed if t in TRIVIAL_WORDS)
    len_score = min(f32(f32(n) / 400.0), 1.0)

    c = f32
    h_term = min(c(c(hard) / 3.0), 1.0)
    c_term = min(c(c(constraint) / 6.0), 1.0)
    k_term = min(c(c(code) / 12.0), 1.0)
    d_term = min(c(c(8.0) * digit_ratio), 1.0)
    base = c(c(c(0.3) * len_score) + c(c(0.25) * h_term))
    base = c(base + c(c(0.2) * c_term))
    base = c(base + c(c(0.15) * k_term))
    base = c(base + c(c(0.1) * d_term))
    raw = c(c(c(0.5) * novelty + 0.5) * base)
    score = min(max(raw, 0.0), 1.0)
    if (n <= 7 and hard == 0 and code == 0) or (n < 4 and trivial >= 1):
        score = min(score, c(0.05))
    if score < c(0.15):
        tier = "low" if hard >= 1 and n >= 4 and score > c(0.05) else "off"
    elif score < c(0.4):
        tier = "low"
    elif score < c(0.7):
        tier = "medium"
    else:
        tier = "high"
    budget = {"off": 0, "low": 1024, "medium": 4096, "high": 16384}[tier]
    return {
        "score": score,
        "tier": tier,
        "budget_tokens": budget,
        "signals": {
            "words": n,
            "len_score": len_score,
            "hard_hits": hard,
            "constraint_hits": constraint,
            "code_hits": code,
            "digit_ratio": digit_ratio,
            "novelty": novelty,
            "trivial_hits": trivial,
        },
    }


def saturation_scan_model(text, window=8):
    w = max(window, 1)
    tokens = split_words(text)
    if len(tokens) < 2 * w:
        return 0.0
    shingles = len(tokens) - w + 1
    seen, duplicates = set(), 0
    for i in range(shingles):
        shingle = tuple(tokens[i : i + w])
        if shingle in seen:
            duplicates += 1
        else:
            seen.add(shingle)
    return f32(f32(duplicates) / f32(shingles))


# Characters whose Alphabetic property equals str.isalpha() or a numeric category,
# so the model trims as the module does.
_LETTERS = (
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
    "àáâãçéêíóôõúüÀÁÂÃÇÉÊÍÓÔÕÚÜñÑ"            # accented Latin
    "ΑΒΓΔΟΣσςαβγδοΆάΌό"                        # Greek with the sigmas
    "İıIi"                                     # Turkish dotted and dotless i
    "中文字日本語한국"                          # CJK and Hangul
    "²½ⅱ١"                                     # numerics outside the ASCII digits
)
_OTHERS = (
    "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~"       # ASCII punctuation and code symbols
    "\u200b\u0301\u00ad…—«»"                   # zero width space, case-ignorable marks
    "😀🚀👍🏽"                                  # emoji
)
_WORDS = [*HARD_STEMS, *HARD_WORDS, *CONSTRAINT_WORDS, *CODE_KEYWORDS, *TRIVIAL_WORDS,
          "ΟΔΟΣ", "ΣΟΦΙΑ", "İSTANBUL", "DESIGN", "RESTRIÇÃO", "NÃO", "fn main() {", "x = 1;"]

_piece = st.one_of(
    st.text(st.sampled_from(_LETTERS + _OTHERS), min_size=1, max_size=6),
    st.sampled_from(_WORDS).map(str.upper),
    st.sampled_from(_WORDS),
    st.sampled_from(sorted(WHITE_SPACE)),
)

# Texts of vocabulary words, letters, symbols and every White_Space character.
texts = st.lists(_piece, max_size=40).map("".join)

# Texts over a few tokens, so that shingles repeat.
repetitive_texts = st.lists(
    st.tuples(st.sampled_from(["a", "b", "B", "a,", "ΟΔΟΣ", "中文", "😀", "İ"]),
              st.sampled_from(sorted(WHITE_SPACE))),
    max_size=60,
).map(lambda pairs: "".join(token + space for token, space in pairs))
