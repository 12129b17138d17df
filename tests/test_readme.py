"""The README's `pycon` examples run as doctests: no value it shows may drift from
what the library returns."""
import doctest
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
    test = doctest.DocTestParser().get_doctest(source, {}, "README.md", str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
