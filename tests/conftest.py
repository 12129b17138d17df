"""Shared test configuration: the `slow` marker and the adjustments for a run
against the sanitized build (tools/sanitized_tests.sh sets QM_SANITIZER)."""
import os
import sys
from pathlib import Path

import pytest

# The shared helpers are imported as `support.*` whatever pytest's import mode.
if str(Path(__file__).parent) not in sys.path:
    sys.path.insert(0, str(Path(__file__).parent))

SANITIZED = bool(os.environ.get("QM_SANITIZER"))

# AddressSanitizer's throwing operator new reports "out of memory" and aborts the
# process instead of throwing std::bad_alloc, whatever allocator_may_return_null
# says (that option covers malloc and the non-throwing forms only). A test that
# expects MemoryError from a native container reservation therefore cannot run
# under it. Keyed by node id so that the test files need no sanitizer logic.
ASAN_CANNOT_RUN = {
    "tests/test_bus.py::test_unsatisfiable_event_buffer_is_a_memory_error":
        "ASan aborts on an unsatisfiable operator new instead of throwing bad_alloc",
    "tests/test_window.py::test_unsatisfiable_capacity_raises_memory_error":
        "ASan aborts on an unsatisfiable operator new instead of throwing bad_alloc",
    "tests/test_hostile_inputs.py::test_event_capacity_below_the_bound_is_a_memory_error":
        "ASan aborts on an unsatisfiable operator new instead of throwing bad_alloc",
    "tests/test_hostile_inputs.py::test_window_capacity_at_the_ptrdiff_bound":
        "ASan aborts on an unsatisfiable operator new instead of throwing bad_alloc",
    # Random arguments to the two constructors include capacities in the tens of
    # gigabytes and beyond, each answered with MemoryError natively; the other
    # callables of this test still run.
    "tests/test_hostile_arguments.py::test_random_arguments_raise_only_documented_errors"
    "[HormonalBus]":
        "random capacities reach unsatisfiable operator new calls, which ASan aborts on",
    "tests/test_hostile_arguments.py::test_random_arguments_raise_only_documented_errors"
    "[ContextApoptosis]":
        "random capacities reach unsatisfiable operator new calls, which ASan aborts on",
    "tests/test_hostile_inputs.py::test_no_reference_is_leaked[ContextApoptosis() unsatisfiable]":
        "ASan aborts on an unsatisfiable operator new instead of throwing bad_alloc",
    # The child interpreter is preloaded with a malloc-counting shim in place of
    # the ASan runtime, which an instrumented extension cannot load without.
    "tests/test_allocation.py::test_positional_call_makes_no_native_allocation":
        "its child replaces LD_PRELOAD, which the ASan runtime needs",
}


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: heavy hostile-input tests (hundreds of MB); deselect with -m 'not slow'")
    if SANITIZED:
        # Instrumented code runs several times slower: no per-example deadline.
        from hypothesis import settings

        settings.register_profile("sanitized", deadline=None)
        settings.load_profile("sanitized")


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    for item in items:
        reason = ASAN_CANNOT_RUN.get(item.nodeid)
        if reason is None:
            reason = ASAN_CANNOT_RUN.get(item.nodeid.split("[", 1)[0])
        if reason is not None:
            item.add_marker(pytest.mark.skip(reason=f"under {os.environ['QM_SANITIZER']}: {reason}"))
