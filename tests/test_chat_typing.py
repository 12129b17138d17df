"""quorvex_chat under mypy --strict, with its results passed to the official SDKs."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def test_trimmed_messages_type_check_against_the_sdks():
    for module in ("mypy", "openai", "anthropic"):
        pytest.importorskip(module)
    # From a source tree the package and the extension's stubs are found there; an
    # installed wheel brings both.
    paths = [str(path) for path in (ROOT / "src", ROOT / "stubs") if path.is_dir()]
    sources = [str(ROOT / "tests" / "chat_sdk_snippet.py")]
    if (ROOT / "src" / "quorvex_chat").is_dir():
        sources.append(str(ROOT / "src" / "quorvex_chat"))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *sources],
        capture_output=True, text=True, cwd=ROOT, env={**os.environ, "MYPYPATH": os.pathsep.join(paths)})
    assert result.returncode == 0, result.stdout + result.stderr
