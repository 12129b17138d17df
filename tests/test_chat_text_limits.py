"""Tool results are untrusted text: notable lines and token counts stay linear and bounded."""
import json
import time
import tracemalloc

import pytest

from quorvex_chat import _notable
from quorvex_chat._counting import count_tokens, count_tokens_many


def _seconds(call, *texts):
    """The best of five timings of `call` on each text, interleaved, so that a busy moment
    of a shared machine slows every size alike."""
    best = [float("inf")] * len(texts)
    for _ in range(5):
        for number, text in enumerate(texts):
            start = time.perf_counter()
            call(text)
            best[number] = min(best[number], time.perf_counter() - start)
    return best


@pytest.mark.parametrize("unit", ["a-", "1-", "A_", "9f", "x1-", "-a ", "x=1 ", "1.1"])
def test_notable_lines_grow_linearly_on_hostile_lines(unit):
    def notice(text):
        return _notable.elision_notice(text, 10_000, count_tokens_many)

    def hostile(size):
        return unit * (size // len(unit)) + "\nok"

    small, large = _seconds(notice, hostile(8 << 10), hostile(64 << 10))
    assert large < 24 * max(small, 1e-4)  # linear is 8x; the quadratic pattern was 93x


@pytest.mark.parametrize("text", ["[" * 1000 + "]" * 1000, "{\"a\": " * 5000 + "1" + "}" * 5000,
                                  "[" * 200_000, "[" * 990 + "]" * 990])
def test_deep_nesting_reads_as_lines(text):
    assert _notable.result_lines(text)
    _notable.elision_notice(text, 1000, count_tokens_many)
    _notable.clamp_notice(text, 1000, 100, count_tokens_many)


def test_lone_surrogate_rows_stay_encodable():
    rows = _notable.result_lines(json.dumps([{"id": "\ud800x"}, {"id": "ok"}]))
    assert rows[0] == '{"id": "\\ud800x"}' and rows[1] == '{"id": "ok"}'
    for row in rows:
        row.encode("utf-8")


def _log(lines, planted_at):
    rows = [f"12:00:{i % 60:02d} INFO request id=req-{i * 7919 % 10**6} status=200"
            for i in range(lines)]
    rows[planted_at] = "12:00:00 ERROR payment ORD-88213 declined"
    return "\n".join(rows)


@pytest.mark.parametrize("planted_at", [5, 41_000, 69_999])
def test_large_result_keeps_its_alert_line_and_line_count(planted_at):
    text = _log(70_000, planted_at)
    assert len(text) > 8 * _notable._READ_CHARS
    elided = _notable.elision_notice(text, 10_000, count_tokens_many)
    assert "ORD-88213" in elided and "of 70,000 kept]" in elided.splitlines()[0]
    clamped = _notable.clamp_notice(text, 10_000, 400, count_tokens_many)
    header, *rest = clamped.splitlines()
    shown = sum(1 for line in rest if not line.startswith("[…"))
    cut = sum(int(line[2:].split()[0].replace(",", "")) for line in rest if line.startswith("[…"))
    assert f"of 70,000 lines cut" in header and shown + cut == 70_000
    assert "ORD-88213" in clamped and rest[-1].startswith("12:00:") and "id=req-" in rest[0]


@pytest.mark.slow
def test_large_result_work_and_memory_stay_bounded():
    def notice(text):
        return _notable.clamp_notice(text, 10_000, 400, count_tokens_many)

    small, large = _log(20_000, 7), _log(200_000, 7)
    small_time, large_time = _seconds(notice, small, large)
    assert large_time < 16 * small_time
    tracemalloc.start()
    notice(large)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 2 * len(large)


def _kinds():
    import base64
    import random
    import urllib.parse

    r = random.Random(5)
    blob = r.randbytes(3000)
    pick = lambda chars, n: "".join(r.choice(chars) for _ in range(n))  # noqa: E731
    words = lambda low, high, n: " ".join(pick([chr(c) for c in range(low, high)], r.randrange(2, 9))  # noqa: E731
                                          for _ in range(n))
    alnum = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
    return {
        "english": " ".join(r.choice("the quick brown fox jumps over a lazy dog while budgets grow"
                                     .split()) for _ in range(600)),
        "base64": base64.b64encode(blob).decode(), "hex": blob.hex(),
        "base64url": base64.urlsafe_b64encode(blob).decode(),
        "urlencoded": urllib.parse.quote(pick("aé中 /?&=ü", 800)),
        "emoji": pick("😀🎉🚀👍🔥", 600), "zwj": "👩‍👩‍👧‍👦👨‍💻🏳️‍🌈" * 150, "flags": "🇺🇸🇯🇵🇫🇷🇩🇪🇧🇷" * 100,
        "cjk": pick([chr(c) for c in range(0x4E00, 0x9FFF)], 1500),
        "cyrillic": words(0x430, 0x44F, 400), "arabic": words(0x627, 0x64A, 400),
        "devanagari": words(0x915, 0x939, 400), "cuneiform": words(0x12000, 0x12399, 200),
        "linear_b": words(0x10000, 0x1005D, 200), "ol_chiki": words(0x1C5A, 0x1C7D, 300),
        "accented": " ".join(r.choice(["café", "naïve", "Ærøskøbing", "Łódź", "crème"])
                             for _ in range(500)),
        "code": "def f(x):\n    return [i * 2 for i in range(x) if i % 3]\n\n" * 60,
        "json": json.dumps([{"id": i, "name": f"item{i}", "v": r.random()} for i in range(150)]),
        "log": "\n".join(f"2024-05-01T12:00:{i % 60:02d}Z INFO svc-{i % 7} id=req-"
                         f"{r.randrange(10**9)} took={r.randrange(900)}ms" for i in range(150)),
        "whitespace": " " * 3000 + "\t" * 500 + "\n" * 500 + " \n" * 500 + "\r\n" * 300,
        "nul": "\x00" * 2000 + "a\x00b" * 300, "combining": ("a" + "\u0301" * 3) * 600,
        "alnum_run": pick(alnum, 4000), "lower_run": pick(alnum[:26], 4000),
        "upper_runs": " ".join(pick(alnum[26:52], 12) for _ in range(200)),
        "punctuation": pick("!@#$%^&*()[]{};:'\",.<>/?\\|`~-=+_", 3000),
    }


KINDS = _kinds()


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_count_tokens_counts_high_against_o200k(kind):
    o200k = pytest.importorskip("bpe_openai").get_encoding("o200k_base").encode_ordinary
    exact, counted = len(o200k(KINDS[kind])), count_tokens(KINDS[kind])
    assert counted >= exact
    if kind in ("english", "code", "json", "log"):
        assert counted <= 1.4 * exact


def test_count_tokens_grows_linearly():
    text = "".join(KINDS.values()) * 4
    small_time, large_time = _seconds(count_tokens, text, text * 8)
    assert large_time < 24 * small_time  # linear is 8x
