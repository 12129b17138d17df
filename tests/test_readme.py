"""The README's `pycon` examples run as doctests: no value it shows may drift from
what the library returns."""
import doctest
import importlib.util
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"


def examples_only(text):
    """The README with every line outside a ```pycon block blanked, so that the
    doctest sees only the examples and reports README line numbers."""
    lines, inside = [], False
    for line in text.splitlines():
        fence = line.startswith("```")
        inside = line.strip() == "```pycon" if fence else inside
        lines.append(line if inside and not fence else "")
    return "\n".join(lines) + "\n"


@pytest.mark.skipif(not README.is_file(), reason="no README.md beside the tests")
def test_readme_examples():
    source = examples_only(README.read_text(encoding="utf-8"))
    assert re.search(r"^>>> ", source, re.M)
    # The examples show the SDKs and frameworks the test extra installs; a bare developer
    # environment (pytest alone) skips them rather than failing on an import.
    for module in sorted(set(re.findall(r"^>>> (?:from|import) (\w+)", source, re.M))):
        if importlib.util.find_spec(module) is None:
            pytest.skip(f"the README's examples need {module}, which is not installed")
    test = doctest.DocTestParser().get_doctest(source, {}, "README.md", str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
