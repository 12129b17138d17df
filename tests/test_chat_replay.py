"""The replay as its users run it: its command line on good and bad files, facts with and
without an index, and transcripts labelled and converted by the format they are really in."""
import json

import pytest

from quorvex_chat import replay
from support.chat_formats import to_responses
from test_example import MALFORMED, OPENAI

SMALL = [{"role": "system", "content": "Answer from the logs."},
         {"role": "user", "content": "Why did build 4411 fail?"},
         {"role": "assistant", "content": None, "tool_calls": [
             {"id": "c1", "type": "function", "function": {"name": "logs", "arguments": "{}"}}]},
         {"role": "tool", "tool_call_id": "c1", "content": "step ok\n" * 300 + "E-7731 lint"},
         {"role": "assistant", "content": "Lint failed."},
         {"role": "user", "content": "And the code?"}]


def write(tmp_path, name, data):
    path = tmp_path / name
    path.write_text(json.dumps(data), encoding="utf-8")
    return path


@pytest.mark.parametrize("name, content, expected", MALFORMED, ids=[m[0] for m in MALFORMED])
def test_a_malformed_transcript_is_one_line_and_status_2(tmp_path, capsys, name, content,
                                                          expected):
    path = tmp_path / f"{name}.json"
    path.write_bytes(content)
    assert replay.main([str(path), "--max-tokens", "500"]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.startswith(f"replay: error: {path}: ") and err.count("\n") == 1
    assert expected in err


def test_help_documents_the_facts_file(capsys):
    with pytest.raises(SystemExit):
        replay.main(["--help"])
    help_text = " ".join(capsys.readouterr().out.split())
    assert "a fact without an index is needed at the final call" in help_text


@pytest.mark.parametrize("facts, needed, in_last_n", [
    ("E-7731\n", 1, 0), ("E-7731\t3\n", 1, 1), ("Why did build\t0\nE-7731\n", 2, 1)])
def test_facts_count_once_each_at_the_call_that_needs_them(tmp_path, capsys, facts, needed,
                                                           in_last_n):
    path = write(tmp_path, "small.json", SMALL)
    (tmp_path / "facts.txt").write_text(facts, encoding="utf-8")
    transcript = replay.load(path, tmp_path / "facts.txt")
    scores = replay.run([transcript], [400], ["openai"], len)[400]["small/openai"]
    assert {name: s.facts_needed for name, s in scores.items()} == dict.fromkeys(scores, needed)
    # At the final call last-N keeps only the newest request, without the result; right
    # after the result (message 3, the system message lifted) it still holds it.
    assert (scores["last-N"].facts_present, scores["none"].facts_present) == (in_last_n, needed)
    assert replay.main([str(path), "--facts", str(tmp_path / "facts.txt"), "--markdown",
                        "--max-tokens", "400"]) == 0
    out = capsys.readouterr().out
    assert "| policy | tokens sent |" in out and f"/{needed} (" in out


def test_transcripts_are_labelled_by_their_own_format(tmp_path):
    openai = replay.load(write(tmp_path, "chat.json", OPENAI))
    items = replay.load(write(tmp_path, "items.json", to_responses(SMALL[1:])))
    gemini = replay.load(write(tmp_path, "gemini.json", [
        {"role": "user", "parts": [{"text": "hi"}]}, {"role": "model", "parts": [{"text": "yo"}]}]))
    assert (openai.format, items.format, gemini.format) == ("openai", "responses", "gemini")
    assert openai.system == "Prefer short answers." and len(openai.messages) == len(OPENAI) - 1
    # Each is replayed in the formats its converters read, never re-read as another.
    assert [fmt for fmt, _ in replay.forms(openai, None)] == ["openai", "anthropic"]
    assert [fmt for fmt, _ in replay.forms(items, None)] == ["responses"]
    assert [fmt for fmt, _ in replay.forms(items, ["anthropic", "gemini"])] == []
    results = replay.run([items], [300], None, len)[300]["items/responses"]
    assert results["Conversation"].invalid == results["trim"].invalid == 0
