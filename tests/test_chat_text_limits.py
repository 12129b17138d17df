"""Tool results are untrusted text: notable lines and token counts stay linear and bounded."""
import json
import time
import tracemalloc

import pytest

from quorvex_chat import _notable
from quorvex_chat._counting import count_tokens


def _seconds(call, text):
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        call(text)
        best = min(best, time.perf_counter() - start)
    return best


@pytest.mark.parametrize("unit", ["a-", "1-", "A_", "9f", "x1-", "-a "])
def test_notable_lines_grow_linearly_on_hostile_lines(unit):
    def notice(text):
        return _notable.elision_notice(text, 10_000, count_tokens)

    def hostile(size):
        return unit * (size // len(unit)) + "\nok"

    small, large = _seconds(notice, hostile(8 << 10)), _seconds(notice, hostile(64 << 10))
    assert large < 16 * max(small, 1e-4)


@pytest.mark.parametrize("text", ["[" * 1000 + "]" * 1000, "{\"a\": " * 5000 + "1" + "}" * 5000,
                                  "[" * 200_000, "[" * 990 + "]" * 990])
def test_deep_nesting_reads_as_lines(text):
    assert _notable.result_lines(text)
    _notable.elision_notice(text, 1000, count_tokens)
    _notable.clamp_notice(text, 1000, 100, count_tokens)


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
    elided = _notable.elision_notice(text, 10_000, count_tokens)
    assert "ORD-88213" in elided and "of 70,000 kept]" in elided.splitlines()[0]
    clamped = _notable.clamp_notice(text, 10_000, 400, count_tokens)
    header, *rest = clamped.splitlines()
    shown = sum(1 for line in rest if not line.startswith("[…"))
    cut = sum(int(line[2:].split()[0].replace(",", "")) for line in rest if line.startswith("[…"))
    assert f"of 70,000 lines cut" in header and shown + cut == 70_000
    assert "ORD-88213" in clamped and rest[-1].startswith("12:00:") and "id=req-" in rest[0]


@pytest.mark.slow
def test_large_result_work_and_memory_stay_bounded():
    def notice(text):
        return _notable.clamp_notice(text, 10_000, 400, count_tokens)

    small, large = _log(20_000, 7), _log(200_000, 7)
    assert _seconds(notice, large) < 16 * _seconds(notice, small)
    tracemalloc.start()
    notice(large)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 2 * len(large)
