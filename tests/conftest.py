"""Shared test configuration: the `slow` and `chat` markers, and the adjustments for a run
against the sanitized build (tools/sanitized_tests.sh sets QM_SANITIZER)."""
import gc
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


# The checks that take most of a run, marked here by node id (a name without parameters
# covers all of its cases) so that the chat layer's test files need no edit for it. They are
# deselected by default (pyproject's addopts) and run with `-m slow`; the 200 MB hostile-input
# tests carry the marker in their own file.
SLOW = {
    "tests/test_chat_trim.py::test_trimmed_messages_type_check_against_the_sdks":
        "mypy --strict over the SDK snippet and quorvex_chat, about a minute",
    "tests/test_chat_conversation.py::test_bundled_sessions_meet_the_goals":
        "replays the four bundled sessions in two formats at two budgets",
    "tests/test_chat_conversation.py::test_bundled_sessions_meet_the_goals_in_the_other_formats":
        "replays the four bundled sessions once per other format",
    "tests/test_gen_sessions.py::test_held_out_sessions_meet_the_goals":
        "replays ten generated held-out sessions at two budgets",
    "tests/test_chat_trim.py::test_thirty_turns_of_shard_status_stay_valid_under_6000_tokens"
    "[o200k_base]":
        "counts every prompt of the thirty turns with the o200k tokenizer",
    "tests/test_binder_compile.py::test_the_binder_refuses":
        "compiles a binding against the real headers for each case, seconds apiece",
    "tests/test_chat_fleet.py::"
    "test_workers_taking_turns_and_restarted_send_the_prompts_of_one_process":
        "starts three worker processes per framework, each importing its framework",
}

# Tests that exercise only the pure-Python quorvex_chat (the example drives it too). Its
# behaviour does not depend on how the extension was compiled, so CI runs them against the
# installed package and the development tree, not again against the clang, sanitized and
# wheel builds (`-m "not chat"`). The tests of its native module are not among them: they
# walk messages and score lines of untrusted text in C++, which those builds must check too.
CHAT_FILES = ("test_chat_*.py", "test_example.py")
NATIVE_CHAT_FILES = ("test_chat_native_*.py", "test_chat_line_stats.py")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: the heavy checks (the SDK type check, the replays of the bundled "
        "sessions, the 200 MB hostile inputs); deselected by default, run with -m slow")
    config.addinivalue_line(
        "markers", "chat: exercises only the pure-Python quorvex_chat (set by file in conftest)")
    if SANITIZED:
        # Instrumented code runs several times slower: no per-example deadline.
        from hypothesis import settings

        settings.register_profile("sanitized", deadline=None)
        settings.load_profile("sanitized")


def _by_node_id(table, nodeid):
    return table.get(nodeid) or table.get(nodeid.split("[", 1)[0])


def pytest_collection_modifyitems(config, items):
    for item in items:
        if any(item.path.match(pattern) for pattern in CHAT_FILES) and \
                not any(item.path.match(pattern) for pattern in NATIVE_CHAT_FILES):
            item.add_marker(pytest.mark.chat)
        if _by_node_id(SLOW, item.nodeid) is not None:
            item.add_marker(pytest.mark.slow)
    if not SANITIZED:
        return
    for item in items:
        reason = _by_node_id(ASAN_CANNOT_RUN, item.nodeid)
        if reason is not None:
            item.add_marker(pytest.mark.skip(reason=f"under {os.environ['QM_SANITIZER']}: {reason}"))


def pytest_runtest_setup(item):
    # The SDKs, frameworks and hypothesis leave hundreds of thousands of long-lived objects
    # behind, and the earlier tests more; every full collection walked them all again (about a
    # second per leak test, which collects four times). Frozen, they are left out of later
    # collections, while whatever this test creates is still collected and counted. Only what
    # is still alive after this collection is frozen, and each time only what the tests before
    # added to the heap is walked.
    gc.collect()
    gc.freeze()
