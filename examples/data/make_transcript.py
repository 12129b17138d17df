"""Checks agent_transcript.json, the bundled debugging session, and keeps it in one layout.

The JSON file is the data. A coding agent helps a developer find why a payments webhook
service started rejecting events after a deploy, fixes it, designs an idempotency scheme for
duplicate deliveries and opens a pull request; one provider payload carries a forged-log
flood. It was written once by hand, the bulky tool outputs (logs, query results, delivery
attempts) filled in from a fixed-seed generator; the 1,291-line script that assembled it is in
commit 0e52abf, which added the example; nothing needs it any more.

To extend the session, edit the JSON: `purpose` is one string, `facts` a list of strings and
`messages` a list of {"role", "content"} objects, the role one of ROLES. Then run
`python examples/data/make_transcript.py`: it checks that shape and rewrites the file in the
layout below (one-space indent, text kept as UTF-8), so that a change shows as a small diff.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

OUTPUT = Path(__file__).with_name("agent_transcript.json")
ROLES = ("system", "user", "assistant", "thinking", "tool")


def checked(transcript: dict[str, Any]) -> dict[str, Any]:
    """The transcript itself, once its shape is the one the example reads."""
    assert list(transcript) == ["purpose", "facts", "messages"], list(transcript)
    assert isinstance(transcript["purpose"], str)
    assert all(isinstance(fact, str) for fact in transcript["facts"])
    for i, message in enumerate(transcript["messages"]):
        assert list(message) == ["role", "content"], (i, list(message))
        assert message["role"] in ROLES and isinstance(message["content"], str), i
    return transcript


def transcript_json() -> str:
    """The file's contents in its layout."""
    transcript = checked(json.loads(OUTPUT.read_text(encoding="utf-8")))
    return json.dumps(transcript, indent=1, ensure_ascii=False) + "\n"


def main() -> None:
    text = transcript_json()
    OUTPUT.write_text(text, encoding="utf-8")
    print(f"wrote {OUTPUT.name}: {len(text.encode('utf-8')):,} bytes")


if __name__ == "__main__":
    main()
