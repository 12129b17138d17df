"""What the binder refuses to compile: a body that reads a parameter its table
lacks, or by position, a table with one name twice, and a default its signature
could not show exactly. Each case is a tiny binding compiled against the real
header, beside a control that must compile without a warning."""
import os
import shlex
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
CXX = shlex.split(os.environ.get("CXX", "")) or [shutil.which("c++") or shutil.which("g++")]
INCLUDE = sysconfig.get_paths()["include"]

pytestmark = pytest.mark.skipif(
    CXX == [None] or not (SRC / "module" / "binding.h").exists()
    or not Path(INCLUDE, "Python.h").exists(),
    reason="needs a C++ compiler, the Python headers and the source tree")

BINDING = """
#include "module/binding.h"
#include "module/results.h"
namespace {
constexpr char kBody[] = "";
constexpr auto kParams = qm::params("f()", %s);
[[maybe_unused]] PyObject* call(PyObject* args, PyObject* kwargs) noexcept {
    return qm::with_args(args, kwargs, [](const qm::Args<kParams>& a) {
        [[maybe_unused]] auto value = a.get<%s>();
        return qm::py_none().release();
    });
}
[[maybe_unused]] const char* doc = qm::docstring<kParams, kBody>;
}
"""

TABLE = 'qm::param("text", qm::to_text), qm::param("n", qm::to_u64) = uint64_t{1}'


@pytest.mark.parametrize("table, read, refusal", [
    (TABLE, '"n"', None),
    (TABLE, '"count"', "no parameter of this name in the table"),
    (TABLE, "1", "error"),
    ('qm::param("n", qm::to_text), qm::param("n", qm::to_u64)', '"n"', "share a name"),
    ('qm::param("n", qm::to_f64) = 1e-9', '"n"', "cannot show exactly"),
], ids=["control", "unknown-name", "by-position", "name-twice", "unprintable-default"])
def test_the_binder_refuses(tmp_path, table, read, refusal):
    source = tmp_path / "binding.cpp"
    source.write_text(BINDING % (table, read), encoding="utf-8")
    run = subprocess.run(
        [*CXX, "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror",
         "-DPy_LIMITED_API=0x030A0000", f"-I{SRC}", "-isystem", INCLUDE, str(source)],
        capture_output=True, text=True, check=False)
    if refusal is None:
        assert run.returncode == 0, run.stderr
    else:
        assert run.returncode != 0 and refusal in run.stderr, run.stderr
