"""The native line scores of quorvex_chat._native are `_notable._scored`'s, to the bit."""
import importlib
import json
import re
import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex_chat import _notable
from support.native import native_program

try:
    native = importlib.import_module("quorvex_chat._native")
except ImportError:  # a development tree: the module is built only into the wheel
    native = None

needs_native = pytest.mark.skipif(native is None, reason="quorvex_chat._native is not built")


def _bits(scored):
    return [(score.hex(), index) for score, index in scored]


# A number of sixteen digits or more, which a C++ library without from_chars for double
# cannot read exactly: the module declines such lines there.
_LONG_NUMBER = re.compile(r"(?:\d\.?){16}")


def _assert_same(lines):
    scored = native.line_scores(lines)
    if scored is None:
        assert any(_LONG_NUMBER.search(line[:800]) for line in lines)
    else:
        assert _bits(scored) == _bits(_notable._scored(lines))


def _json_rows():
    rows = [{"host": f"web-{i:03d}", "latency_ms": 20 + i * 7 % 90, "status": "ok",
             "trace": f"{i * 2654435761 % 2**32:08x}"} for i in range(60)]
    rows[41].update(latency_ms=9123, status="error: upstream timed out")
    rows[17]["region"] = "eu-west-1"
    return _notable.result_lines(json.dumps(rows))


def _log():
    return [f"2026-12-09T10:{i // 60:02d}:{i % 60:02d}.{i * 37 % 1000:03d} INFO GET "
            f"/api/items/{i} 200 {30 + i % 17}ms" for i in range(90)] + [
        "2026-12-09T10:01:31.000 WARN retry budget low: 3 left",
        "2026-12-09T10:01:32.000 ERROR connection refused by db-7 after 30000ms"]


# Source with constants, a stack trace, markdown, HTML, search results, numbers, names,
# alert words, separators the regular expressions read as spaces, and long lines.
SOURCE = ["const MAX_RETRIES = 5", "  export const timeout: number = -1", "let let = 'a'",
          "private static final int LIMIT = 300", "const = \"x\"", "def = 7", "x.y.z: 2",
          "var x: List[int], = 3", "static   public\tvar y:  int  =  \"s\"", "const x y = 1",
          "export", "public ", "HTTP_PORT: 8080", "    return total_1 + part[2]"]
TRACE = ["Traceback (most recent call last):", '  File "/srv/app/main.py", line 12, in <module>',
         "    raise ValueError(f'invalid literal {value!r}')", "ValueError: invalid literal: 'x1'"]
MARKDOWN = ["# Notes", "", "- fixed the flaky test of ORD-88213", "| name | value |",
            "|------|-------|"] + [f"| {c} | {v} |"
                                   for c, v in zip("abcde", [1.5, 2.25, 4, 3, 900.5])]
HTML = ['<div class="row" id="r-123">Total: 1,204</div>', '<a href="/x?id=5">next</a>',
        "<p>Access denied</p>", '<span data-v="-3.5">.</span>', "<br/>"]
SEARCH = [f"{i}. Result {i} - https://example.com/a{i}b{i}c{i}d - {100 - i} points"
          for i in range(1, 12)] + ["12. sha 9f3e2a1c7b6d5e4f in the notes"]
NUMBERS = ["id 12345678901234567 v 3", "id 1234567890123456 v 3", "x=1.5", "x=2.25.", "x=.5",
           "x=1.1234567890123456", "x=1.123456789012345", "a -5", "--5", "x-5", "-", "5-",
           "v..5", "1.2.3", "v 10.00", "v 1e5", "v -0", "v :::9", "v ::::9"]
NAMES = ["sha deadbeefcafebabe", "DEADBEEF", "0x1f2e3d4c5b", "deadbee", "MAX_RETRIES", "_X_Y",
         "A_", "A__", "Max_Value", "X9_", "x-a1-b", "--a1b-c", "web-001", "v1.2.3-rc4", "a1bc"]
ALERTS = ["Failed to connect", "failed_over", "TIMED OUT", "timed  out", "not\tfound",
          "NOT FOUND", "warnings: 0", "rolled_back", "unauthorised", "rejected!"]
SEPARATORS = ["a\nb = 1", "x\x1cy", "\x1c\x1d\x1e\x1f", "\x0bconst\x0cX = 2", "\t", "", "\x00\x7f"]
LONG = [" " * 790 + "x = 12", " " * 797 + "x = 12", "a" * 900 + " 5", "v " + "1 " * 420,
        "q" * 795 + " 123456", "ERROR " + "z" * 1000, "y " * 500 + "MAX_VALUE"]

CASES = {
    "json rows": _json_rows(), "log": _log(),
    "csv": ["id,region,latency,errors"] + [f"{i},eu-west-{i % 3},{40 + i % 9},{i % 2}"
                                          for i in range(40)] + ["40,eu-west-1,9000,7"],
    "source": SOURCE, "trace": TRACE, "markdown": MARKDOWN, "html": HTML, "search": SEARCH,
    "numbers": NUMBERS, "names": NAMES, "alerts": ALERTS, "separators": SEPARATORS,
    "long lines": LONG, "empty": [], "one line": ["ERROR: disk full on db-7"],
    "repeated": ["same line 1"] * 9 + ["other"],
    # Twenty digits read as one value: rounded to even, then up.
    "rounding": ["v 100000000000000"] * 4 + ["v 100000000000000.0078125",
                                             "v 100000000000000.0078126", "w 1700000000.1234567"],
}
# Each way of writing a value, as the one that may stand out among eight ordinary ones.
CASES.update((f"value {value!r}", ["lag 1"] * 8 + [f"lag {value}"]) for value in [
    "1234567890123456", "123456789012345", "9.5.", ".9", "-9", "--9", "- 9", "9.1234567890123456",
    "9.123456789012345", "9.", "1e5", "x9", "9x", "9-", "_9", "9_", "(9)", ": : : 9", ": : : : 9",
    "ms 9", "9 " + "x" * 800, "0", "-0", "1.0", "2"])


@needs_native
@pytest.mark.parametrize("name", CASES)
def test_native_scores_are_the_python_scores(name):
    lines = CASES[name]
    _assert_same(lines)
    # Each line among quiet ones, where every bonus counts: each finding shows.
    for line in lines:
        _assert_same([line, "", "", ""])


PIECES = ["a", "Z", "x1", "ab_c", "ERROR", "timed", "out", "not", "found", "const", "let",
          "MAX_", "deadbeef", "0", "9", "12", "1234567890123456", "123456789012345", "1.5",
          "0.123456789012345", "v=", "v ", "_", "-", ".", ":", "=",
          '"', "'", " ", " ", "\t", "\x1c", "\x0b", "\n", "[", "]", ",", "(", "x" * 60,
          " " * 150]

line_text = st.lists(st.sampled_from(PIECES), max_size=24).map("".join)


@st.composite
def line_lists(draw):
    # Few distinct lines among many, so that shingles repeat and fields fill.
    pool = draw(st.lists(line_text, min_size=1, max_size=6))
    lines = draw(st.lists(st.sampled_from(pool), max_size=20))
    return lines + [""] * draw(st.sampled_from([0, 0, 3]))


@needs_native
@settings(max_examples=400, deadline=None)
@given(line_lists())
def test_native_scores_match_on_random_lines(lines):
    _assert_same(lines)


@needs_native
@pytest.mark.parametrize("lines", [["ok", "café"], ["\ud800"], ["a" * 50, "b\u2028c"]])
def test_lines_not_ascii_are_declined_and_ranked_by_python(lines, monkeypatch):
    assert native.line_scores(lines) is None
    lengths = lambda texts: list(map(len, texts))  # noqa: E731
    ranked = _notable.ranked_lines(lines, lengths)
    monkeypatch.setattr(_notable, "_native", None)
    assert ranked == _notable.ranked_lines(lines, lengths)


@needs_native
@pytest.mark.parametrize("argument", [("a",), ["a", 1], "abc", None, [b"a"]])
def test_anything_but_a_list_of_str_is_a_type_error(argument):
    with pytest.raises(TypeError):
        native.line_scores(argument)


def test_native_line_stats_checks():
    done = subprocess.run([native_program("line_stats_test")], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().endswith(" 0 failed")
