"""quorvex_chat._native.count_tokens is the Python reference's count, to the integer."""
import base64
import random
import string
import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex_chat import _counting, count_tokens
from support.native import native_program

native = pytest.importorskip("quorvex_chat._native", reason="the module is built into the wheel")
BLOBS = [random.Random(n).choices(string.ascii_letters + string.digits, k=n)
         for n in (7, 8, 19, 20, 4095, 4096, 4097, 4103, 4104, 8200)]


@pytest.mark.parametrize("text", [
    "The quick brown fox jumps over the lazy dog. It was, of course, only a test.",
    '{"id": 12345, "name": "ORD-88213", "tags": ["a", "b"], "ok": true, "v": -0.5e10}',
    "2024-05-01T12:00:00Z ERROR [worker-3] request_id=7f3a9c timed out after 30000ms\n" * 3,
    "def f(x):\n    return {k: v for k, v in x.items() if v is not None}\n\n\n",
    base64.b64encode(random.Random(1).randbytes(3000)).decode(), "%E4%B8%AD%20x&u=https%3A%2F",
    random.Random(2).randbytes(2500).hex(), *map("".join, BLOBS), "1" * 8, "9" * 4100,
    "a" * 4096 + "bcdefgh", "x" * 4104 + "1", "ABC", "ABCD ABC", "A" * 15, "A" * 16, "A" * 40,
    "HTTPServerErrorXMLParser", "getHTTPCode aBcD", *(" " * n for n in (1, 2, 16, 17, 4096)),
    " " * 4097, " " * 4098, "\n" * 4097, " \n" * 3000, "\t \t\t  \n\n", "\x1c\x1d\x1e\x1f x\x1f",
    "中文文本的例子。" * 700, "👨‍👩‍👧‍👦 🇫🇷 👍🏽", "café naïve résumé Ångström", "\x00\x00 a\x00b\x7f\x0e",
    "٣٤٥ ١٢ ۱۲۳ १२", str.__new__(type("Text", (str,), {}), "Ab cd"), "",
])
def test_native_count_is_the_reference(text):
    assert native.count_tokens(text) == _counting._count_tokens(text) == count_tokens(text)


@pytest.mark.parametrize("text, pieces", [
    (" 1", 2), ("  1", 3), ("a 1", 3), ("a\n1", 3), (" a", 1), ("[0001] step 1: ok\n", 10)])
def test_a_blank_before_a_digit_is_a_piece_of_its_own(text, pieces):
    """As o200k reads it: a blank joins the word or punctuation after it, never a digit."""
    assert native.count_tokens(text) == count_tokens(text) == pieces + pieces // 10 + 1


PIECES = st.sampled_from(list("AZaz09 \t\n\r\x0b\x1c.,-_{}/é中") + ["😀"])


@settings(max_examples=600, deadline=None)
@given(st.lists(st.tuples(PIECES, st.integers(1, 9) | st.integers(4088, 4100)), max_size=12))
def test_native_count_on_repeats(repeats):
    text = "".join(piece * times for piece, times in repeats)
    assert native.count_tokens(text) == _counting._count_tokens(text)


def test_declined_and_refused_texts():
    text = "key=ab\ud800cd " * 3  # no UTF-8 form: Python counts it
    assert (native.count_tokens(text), count_tokens(text)) == (None, _counting._count_tokens(text))
    assert _counting._native is native
    for value in (b"text", None, 5):
        with pytest.raises(TypeError):
            native.count_tokens(value)
    for value in (("a",), ["a", b"b"], ["a", None], "ab"):
        with pytest.raises(TypeError, match="count_tokens_many"):
            native.count_tokens_many(value)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.text(PIECES | st.sampled_from(["\ud800", "\udfff"]), max_size=40), max_size=9))
def test_many_texts_are_counted_as_each_alone(texts):
    counted = native.count_tokens_many(texts)
    assert counted == [native.count_tokens(text) for text in texts]
    assert _counting.count_tokens_many(texts) == [count_tokens(text) for text in texts]


def test_native_token_count_checks():
    done = subprocess.run([native_program("token_count_test")], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout.strip()[-9:]) == (0, " 0 failed"), done.stderr
