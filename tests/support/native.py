"""The native test programs of the C++ core, where the build put them."""
import os

import pytest

import quorvex_micro as qm


def native_program(name):
    """The path of native test program `name`; skips the test when it is not built."""
    folder = os.environ.get("QM_NATIVE_TESTS_DIR") or os.path.join(
        os.path.dirname(qm.__file__), "tests", "native")
    path = os.path.join(folder, name)
    if not os.access(path, os.X_OK):
        pytest.skip(f"native test program {name} is not built")
    return path
