"""effort_gauge: signals, the single-precision score, caps, tiers and budgets."""

import random
import struct
import subprocess
from itertools import product

import pytest
from hypothesis import given, settings

import quorvex_micro as qm
from support.call_errors import assert_call_error
from support.floats import f32
from support.native import native_program
from support.text_model import effort_gauge_model, texts

SIGNAL_KEYS = ["words", "len_score", "hard_hits", "constraint_hits", "code_hits",
               "digit_ratio", "novelty", "trivial_hits"]


def bits(x):
    return struct.pack("<d", x)


def signals(text):
    return qm.effort_gauge(text)["signals"]


def test_result_layout():
    result = qm.effort_gauge("Design a plan")
    assert list(result) == ["score", "tier", "budget_tokens", "signals"]
    assert list(result["signals"]) == SIGNAL_KEYS
    assert [type(v) for v in result.values()] == [float, str, int, dict]
    assert [type(v) for v in result["signals"].values()] == [
        int, float, int, int, int, float, float, int]


@pytest.mark.parametrize("text", ["", " ", " \t\n\u3000\u2028 \u00a0"])
def test_empty_and_blank(text):
    assert qm.effort_gauge(text) == {
        "score": 0.0, "tier": "off", "budget_tokens": 0,
        "signals": dict.fromkeys(SIGNAL_KEYS, 0),
    }


def test_ok():
    result = qm.effort_gauge("ok")
    assert bits(result["score"]) == bits(0.000750000006519258)
    assert (result["tier"], result["budget_tokens"]) == ("off", 0)
    assert result["signals"] == {
        "words": 1, "len_score": 0.0024999999441206455, "hard_hits": 0, "constraint_hits": 0,
        "code_hits": 0, "digit_ratio": 0.0, "novelty": 1.0, "trivial_hits": 1,
    }


def test_code_line():
    text = "fn main() { let x = 1; }"
    assert len(text.encode()) == 24
    result = qm.effort_gauge(text)
    assert result["signals"] == {
        "words": 8, "len_score": 0.019999999552965164, "hard_hits": 0, "constraint_hits": 0,
        "code_hits": 3, "digit_ratio": 0.0416666679084301, "novelty": 1.0, "trivial_hits": 0,
    }
    assert bits(result["score"]) == bits(0.0768333375453949)
    assert (result["tier"], result["budget_tokens"]) == ("off", 0)


@pytest.mark.parametrize("text, key", [
    ("DESIGN", "hard_hits"), ("RESTRIÇÃO", "constraint_hits"), ("NÃO", "trivial_hits"),
    ("(design),", "hard_hits"), ("debugging", "hard_hits"), ("Compare", "hard_hits"),
    ("«Obrigatório»", "constraint_hits"), ("IMPORT", "code_hits"), ("Select;", "code_hits"),
    ("why\u0301", "hard_hits"),     # a trailing combining accent is not alphabetic: trimmed
    ("design\u200b", "hard_hits"),  # zero width space: not White_Space, not alphanumeric
    ("😀design", "hard_hits"),
])
def test_vocabulary_hit(text, key):
    s = signals(text)
    assert (s[key], s["words"]) == (1, 1)


@pytest.mark.parametrize("text", [
    "redesign", "errors", "bugs", "howto", "bug²", "ⅱdesign", "١design", "how\u0345",
    "de-sign", "mustn't", "okay?no", "restricão",
    "restric\u0327a\u0303o",  # combining accents: no normalisation takes place
])
def test_no_vocabulary_hit(text):
    s = signals(text)
    assert (s["hard_hits"], s["constraint_hits"], s["code_hits"], s["trivial_hits"]) == (0, 0, 0, 0)


def test_each_word_counts_once():
    # "implement" is listed twice as a stem and "compare" is a word and a stem.
    s = signals("implementation compare continue")
    assert (s["hard_hits"], s["trivial_hits"]) == (2, 1)


@pytest.mark.parametrize("symbols, hits", [(5, 0), (6, 1), (11, 1), (12, 2)])
def test_code_symbols(symbols, hits):
    text = " ".join("();<=>`{}"[i % 9] for i in range(symbols)) + " [].:,"
    assert signals(text)["code_hits"] == hits


def test_digit_ratio_counts_lowercased_bytes():
    # U+0130 is two bytes and lowercases to three (i + combining dot above).
    assert signals("İ0")["digit_ratio"] == 0.25
    assert signals("Ⱥ0")["digit_ratio"] == 0.25  # U+023A: two bytes, lowercase three
    assert signals("K0")["digit_ratio"] == 0.5   # Kelvin sign: three bytes to one
    assert signals("٣0")["digit_ratio"] == f32(1 / 3)  # only ASCII digits count


def test_novelty_compares_untrimmed_lowercased_words():
    assert signals("Word word WORD")["novelty"] == f32(1 / 3)
    assert signals("word word.")["novelty"] == 1.0
    assert signals("... ...")["novelty"] == 0.5
    assert signals("ab abc ab a\0 a a\0")["novelty"] == f32(4 / 6)  # lengths and NUL bytes count


@pytest.mark.parametrize("size, count", [(1, 26), (2, 300), (3, 3000), (6, 3000), (7, 3000),
                                         (8, 3000)])
def test_novelty_of_many_repeated_short_words(size, count):
    # More distinct words than short words have cache slots (a short text has
    # fewer), each three times in a shuffled order: words evicted from the cache
    # must still count once.
    letters = "abcdefghijklmnopqrstuvwxyz"
    words = sorted({"".join(letters[i // 26**k % 26] for k in range(size)) for i in range(count)})
    order = words * 3
    random.Random(size).shuffle(order)
    text = " ".join(order)
    assert qm.effort_gauge(text) == effort_gauge_model(text)
    assert qm.effort_gauge(text)["signals"]["novelty"] == f32(len(words) / len(order))


def _row_text(words, hard, constraint, code, digits, size, distinct, trivial):
    """A text with exactly the given signal counts and UTF-8 size."""
    vocab = (["how", "why", "bug", "plan"][:hard]
             + ["must", "never", "always", "without", "ensure", "except"][:constraint]
             + ["fn", "def", "class", "import", "return", "const", "let", "select", "async",
                "struct", "impl", "function"][:code]
             + ["ok"][:trivial])
    letters = "abcdefghijklmnopqrstuvwxyz"
    names = ["q" + a + b for a, b in product(letters, letters)][: distinct - len(vocab)]
    fillers = names + [names[0]] * (words - distinct)
    fillers[len(names) - 1] += "7" * digits  # the last name occurs once
    pad = size - (sum(map(len, vocab + fillers)) + words - 1)
    assert pad >= 0
    fillers[len(names) - 1] += "z" * pad
    return " ".join(vocab + fillers)


@pytest.mark.parametrize("row, score, tier, budget", [
    ((22, 4, 3, 0, 2, 121, 20, 0), 0.36246299743652344, "low", 1024),
    ((200, 3, 3, 0, 0, 1000, 200, 0), 0.5, "medium", 4096),
    ((400, 3, 6, 12, 400, 2400, 400, 0), 1.0, "high", 16384),
    ((100, 2, 1, 1, 5, 600, 80, 0), 0.2647499740123749, "low", 1024),
    ((5, 1, 0, 0, 0, 30, 5, 0), 0.08708333969116211, "low", 1024),
    ((3, 1, 0, 0, 0, 12, 3, 0), 0.08558333665132523, "off", 0),
    ((3, 1, 0, 0, 0, 12, 3, 1), 0.05000000074505806, "off", 0),
    ((8, 0, 0, 0, 0, 40, 8, 0), 0.006000000052154064, "off", 0),
    ((10, 0, 0, 0, 0, 50, 5, 0), 0.005625000223517418, "off", 0),
    # Scores exactly on a tier bound take the higher tier.
    ((20, 0, 3, 2, 2, 160, 20, 0), 0.15000000596046448, "low", 1024),
    ((100, 2, 4, 2, 0, 600, 100, 0), 0.4000000059604645, "medium", 4096),
    ((300, 3, 6, 2, 0, 1800, 300, 0), 0.699999988079071, "high", 16384),
])
def test_worked_scores(row, score, tier, budget):
    words, hard, constraint, code, digits, size, distinct, trivial = row
    text = _row_text(*row)
    assert len(text.encode()) == size
    result = qm.effort_gauge(text)
    s = result["signals"]
    assert (s["words"], s["hard_hits"], s["constraint_hits"], s["code_hits"],
            s["trivial_hits"]) == (words, hard, constraint, code, trivial)
    assert s["digit_ratio"] == f32(f32(digits) / size)
    assert s["novelty"] == f32(f32(distinct) / words)
    assert bits(result["score"]) == bits(score)
    assert (result["tier"], result["budget_tokens"]) == (tier, budget)


@pytest.mark.parametrize("text, capped", [
    ("must never always without ensure require except", True),      # 7 plain words
    ("must never always without ensure require except sempre", False),
    ("ok design must", True),                                        # 3 words, acknowledgement
    ("ok design must never", False),
    ("design must never always without ensure require", False),     # 7 words, a hard hit
    ("fn must never always without ensure require", False),         # 7 words, code
])
def test_cap_boundaries(text, capped):
    result = qm.effort_gauge(text)
    model = effort_gauge_model(text)
    assert bits(result["score"]) == bits(model["score"])
    assert (result["score"] == f32(0.05)) is capped
    assert result["tier"] == ("off" if capped else "low")


@pytest.mark.parametrize("call, exc, message, note", [
    (lambda: qm.effort_gauge(), TypeError,
     "effort_gauge() missing 1 required positional argument: 'text'", None),
    (lambda: qm.effort_gauge("a", "b"), TypeError,
     "effort_gauge() takes 1 positional arguments but 2 were given", None),
    (lambda: qm.effort_gauge(txt="a"), TypeError,
     "effort_gauge() got an unexpected keyword argument 'txt'", None),
    (lambda: qm.effort_gauge(1), TypeError, "'int' object is not an instance of 'str'",
     "while processing 'text'"),
    (lambda: qm.effort_gauge(None), TypeError, "'None' is not an instance of 'str'",
     "while processing 'text'"),
    (lambda: qm.effort_gauge("\ud800"), UnicodeEncodeError, None, "while processing 'text'"),
])
def test_argument_errors(call, exc, message, note):
    assert_call_error(call, exc, message, note)


def test_keyword_and_str_subclass():
    class Text(str):
        pass

    assert qm.effort_gauge(text=Text("DESIGN it")) == qm.effort_gauge("design it")


def test_long_text():
    text = "Design a migration plan that must never lose data. " * 2000
    result = qm.effort_gauge(text)
    assert result == effort_gauge_model(text)
    assert result["signals"]["words"] == 18000


@settings(max_examples=300, deadline=None)
@given(texts)
def test_matches_model(text):
    assert qm.effort_gauge(text) == effort_gauge_model(text)


# --- the hash-set key: drawn per process ---------------------------------------------------

def _hash_key_program():
    return native_program("hash_key_test")


def test_native_hash_key_checks():
    done = subprocess.run([_hash_key_program()], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().endswith(" 0 failed")


def test_two_processes_place_words_differently():
    program = _hash_key_program()
    runs = [subprocess.run([program, "--placement"], capture_output=True, text=True,
                           check=True, timeout=60).stdout.split() for _ in range(2)]
    assert all(len(slots) == 6 and all(0 <= int(s) < 2**16 for s in slots) for slots in runs)
    assert runs[0] != runs[1]
