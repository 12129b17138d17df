"""Notable lines are the ones unlike the rest in structure or in value, whatever the output."""
import json
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex_chat import _notable
from quorvex_chat._counting import count_tokens_many

rng = random.Random(7)
LATENCIES = [rng.randint(20, 140) for _ in range(120)]


def _json_rows(value):
    rows = [{"host": f"web-{i:03d}", "latency_ms": ms, "errors": i % 3}
            for i, ms in enumerate(LATENCIES)]
    rows[77]["latency_ms"] = value
    return _notable.result_lines(json.dumps(rows))


def _log(value):
    return [f"2026-12-09T10:{i // 60:02d}:{i % 60:02d} GET /api/items 200 {ms}ms"
            for i, ms in enumerate(LATENCIES[:77] + [value] + LATENCIES[78:])]


def _csv(value):
    return ["id,region,latency,errors"] + [
        f"{i},eu-west-1,{value if i == 77 else ms},{i % 3}" for i, ms in enumerate(LATENCIES)]


def _html(value):
    """A table whose cells all follow the same tag, beside a column of wide spread and one
    of hex ids (4272bc0841 holds no value)."""
    return ["<table><tr><th>case</th><th>runs</th><th>mean_us</th><th>commit</th></tr>"] + [
        f"<tr><td>bench_{i}</td><td>{(1000, 5000, 20000)[i % 3]}</td>"
        f"<td>{value if i == 77 else ms}</td><td>{rng.getrandbits(40):010x}</td></tr>"
        for i, ms in enumerate(LATENCIES)]


def _source(value):
    lines = [f"    total_{i} = merge(total_{i - 1}, part[{i}])  # fold in shard {i} "
             f"of {rng.random():.6f}" for i in range(120)]
    lines[77] = f"RETRY_BUDGET_MS = {value}  # how long a client keeps retrying"
    return lines


@pytest.mark.parametrize("lines", [_json_rows, _log, _csv, _html, _source])
def test_a_value_far_outside_its_field_or_a_constant_defined_once_is_kept(lines):
    chosen = _notable.notable_lines(lines(9123), count_tokens_many)
    assert any("9123" in lines(9123)[index] for index in chosen)


@pytest.mark.parametrize("lines", [_json_rows, _log, _csv, _html])
def test_a_value_like_the_others_is_no_sign(lines):
    text = lines(LATENCIES[77])
    assert not any(_notable._outliers(text))


def test_a_table_too_short_for_its_columns_reads_its_cells_together():
    rows = [f"<tr><td>S{i}</td><td>{year}</td><td>{n}</td></tr>"
            for i, (year, n) in enumerate([(2013, 77), (2022, 70998), (2024, 80)])]
    assert _notable._outliers(rows) == [False, True, False]


def test_a_field_holding_one_value_marks_any_other():
    codes = [f"GET /api/items {code} 12ms" for code in [200] * 60 + [503] + [200] * 60]
    assert [i for i, far in enumerate(_notable._outliers(codes)) if far] == [60]


@pytest.mark.parametrize("row", [
    {"b": [1, 2.5, float("nan"), None, True], "a": "é\u2028\"\\"}, "plain", -(10 ** 30),
    [{}, [], {"x": {"y": float("-inf")}}], "\ud800"])
def test_a_row_is_written_as_json_dumps_writes_it(row):
    assert _notable._ROW(row) == json.dumps(row, ensure_ascii=False)


WORDS = ["error", "ok", "id=42", "x" * 30, "TIMEOUT", "9123", "{", '"a": 1,', "", "   "]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.lists(st.sampled_from(WORDS), max_size=12).map(" ".join), max_size=60),
       st.sampled_from([0, 1, 5, 20, 60, 150, 400, 2000]))
def test_lines_counted_together_are_those_counted_one_at_a_time(lines, budget):
    """Against walks counting a line at a time, as notices were made before batches."""
    counted, alone = [], []
    count = lambda text: len(text) // 3  # noqa: E731
    ranked = _notable.ranked_lines(lines, lambda texts: counted.extend(texts) or
                                   list(map(count, texts)), max_tokens=budget // 4)
    chosen, spent = [], 0
    for score, index in _notable._scored(lines):
        alone.append(_notable.cut(lines[index]))
        if spent + count(alone[-1]) <= budget // 4:
            chosen.append((score, index, count(alone[-1])))
            spent += chosen[-1][2]
        if len(chosen) == _notable.NOTABLE_LINES:
            break
    assert (ranked, counted) == (chosen, alone)
    clamped = _notable.clamp_notice("\n".join(lines), 999, budget, lambda t: list(map(count, t)))
    lines, _ = _notable._view("\n".join(lines))
    ranked = _notable.ranked_lines(lines, lambda t: list(map(count, t)),
                                   max_lines=4 * _notable.NOTABLE_LINES, max_tokens=budget // 4)
    keep, spent = {index for _, index, _ in ranked}, sum(cost for *_, cost in ranked)
    head, tail, turn = 0, len(lines), 0
    while head < tail:
        index = head if turn % 2 == 0 else tail - 1
        spent += 0 if index in keep else count(_notable.cut(lines[index]))
        if spent > budget:
            break
        head, tail, turn = head + (turn % 2 == 0), tail - (turn % 2 == 1), turn + 1
    shown = sorted(set(range(head)) | set(range(tail, len(lines))) | keep)
    assert [line for line in clamped.splitlines()[1:] if not line.startswith("[…")] == \
        [_notable.cut(lines[index]) for index in shown]
