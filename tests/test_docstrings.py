"""The callable surface against its table (tests/support/surface.py): text
signatures and docstrings byte for byte, the stub's docstrings against the
binding's, and every declared default checked against what the binder does when
the argument is left out."""
import ast
import inspect
import pydoc
from pathlib import Path

import pytest

import quorvex_micro as qm
from support.surface import ROWS, SURFACE, instance, resolve, target

NAMES = [row.name for row in SURFACE]


def shown_signature(row, bound):
    """How inspect shows the row's signature: methods read through the class
    take their instance as a positional-only self, bound ones do not show it;
    insert's "no fixed default" marker shows as Ellipsis."""
    text = row.signature.replace("=...", "=Ellipsis")
    if bound:
        return text.replace("$self, ", "").replace("$self", "")
    return text.replace("$self", "self, /")


@pytest.mark.parametrize("row", SURFACE, ids=NAMES)
def test_text_signature_and_doc(row):
    obj = resolve(row.name)
    assert obj.__text_signature__ == row.signature
    assert obj.__doc__ == row.doc
    assert str(inspect.signature(obj)) == shown_signature(row, bound=False)
    assert str(inspect.signature(target(row.name))) == shown_signature(row, bound=True)


def test_the_table_lists_every_callable_in_order():
    top = [name for name in qm.__all__ if callable(getattr(qm, name))]
    assert [name for name in NAMES if "." not in name] == top
    for cls in (getattr(qm, name) for name in top if isinstance(getattr(qm, name), type)):
        methods = [attr for attr, member in vars(cls).items()
                   if callable(member) and not attr.startswith("__")]
        assert [name.split(".")[1] for name in NAMES
                if name.startswith(cls.__name__ + ".")] == methods


STUB = Path(__file__).resolve().parent.parent / "stubs" / "quorvex_micro.pyi"


def stub_docstrings():
    """Dotted name to docstring (None when it has none) of each class and def of the stub."""
    docs = {}
    for node in ast.parse(STUB.read_text(encoding="utf-8")).body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            docs[node.name] = ast.get_docstring(node)
        if isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and not member.name.startswith("__"):
                    docs[f"{node.name}.{member.name}"] = ast.get_docstring(member)
    return docs


@pytest.mark.skipif(not STUB.exists(), reason="the stub source is not beside the tests")
@pytest.mark.parametrize("row", SURFACE, ids=NAMES)
def test_stub_docstring_is_the_binding_docstring(row):
    # The binding is the one source; stubtest compares signatures only.
    assert stub_docstrings()[row.name] == resolve(row.name).__doc__


def test_help_shows_the_signature():
    # Newer interpreters wrap long signatures over several lines: compare without spaces.
    text = "".join(pydoc.render_doc(qm.consolidation_gain, renderer=pydoc.plaintext).split())
    assert "consolidation_gain(prefix_tokens,purgeable_tokens,calls_ahead=8," in text
    stats = "".join(pydoc.render_doc(qm.HormonalBus.stats, renderer=pydoc.plaintext).split())
    assert "stats(self,/)" in stats or "stats(self)" in stats


# --- declared defaults: leaving an argument out equals passing its default --------------------
#
# The binder has its own copy of each default; the text signature shows another.
# Every literal default of the table is passed explicitly once and left out once,
# on new objects put through the same script, and everything observable must agree.


FLAGS = [qm.USER, qm.TOOL, qm.ASSISTANT, 0, qm.THINKING, qm.SYSTEM, qm.FACT]


def exercise_bus(bus):
    # More deposits than the default event buffer holds, on every channel.
    for i in range(4100):
        bus.secrete(1 << (i % 32), float(i % 5))
    bus.tick(0.5)


def state_of_bus(bus):
    return bus.snapshot(), bus.stats(), bus.drain_events(2**64 - 1)


def exercise_window(window):
    window.set_purpose("the purpose")
    for i in range(300):
        window.insert(f"block {i} " + "y" * (i % 5), FLAGS[i % len(FLAGS)])
    for i in range(70):  # more facts than the default ledger holds
        window.note_state(f"fact {i}")
    window.dehydrate(absorb=True)
    for i in range(5):  # purged by the next cycle
        window.insert(f"fading turn {i}", qm.USER, 0.4)


def state_of_window(window):
    before = (window.render(), len(window), window.inserted_tokens(), window.active_tokens(),
              window.state_entries(), window.active_context(), window.reduction_ratio())
    return before, [window.dehydrate(absorb=True) for _ in range(4)], window.render()


SCRIPTS = {
    "HormonalBus": (exercise_bus, state_of_bus),
    "HormonalSignal": (lambda signal: None, lambda signal: (signal.flags, signal.intensity)),
    "ContextApoptosis": (exercise_window, state_of_window),
}
# Defaults no caller can observe, so only the first test below can check them.
UNOBSERVABLE = {
    ("ContextApoptosis", "capacity"),  # a reservation
    ("ContextApoptosis.dehydrate", "reinforce_boost"),  # feeds durable blocks, which stay anyway
}


def outcome(name, **given):
    """Everything observable after one call of `name` with its sample arguments."""
    row = ROWS[name]
    if "." in name:
        cls_name, attr = name.split(".")
        exercise, state = SCRIPTS[cls_name]
        obj = instance(cls_name)
        exercise(obj)
        result = getattr(obj, attr)(*row.args, **given)
        return result, state(obj)
    result = resolve(name)(*row.args, **given)
    if name in SCRIPTS:
        exercise, state = SCRIPTS[name]
        exercise(result)
        return state(result)
    if isinstance(result, dict):
        result.pop("kernel_latency_us", None)  # a measurement, different on every call
    return result


def literal_defaults():
    for row in SURFACE:
        for param in inspect.signature(resolve(row.name)).parameters.values():
            if param.default is not param.empty and param.default is not Ellipsis:
                yield row.name, param.name, param.default


DEFAULTS = list(literal_defaults())
IDS = [f"{name}-{param}" for name, param, _ in DEFAULTS]


@pytest.mark.parametrize("name, param, default", DEFAULTS, ids=IDS)
def test_a_left_out_argument_takes_its_declared_default(name, param, default):
    assert outcome(name) == outcome(name, **{param: default})


def other_than(default):
    if isinstance(default, bool):
        return not default
    if isinstance(default, int):
        return default - 1 if default else 1
    return default / 2


@pytest.mark.parametrize("name, param, default",
                         [d for d in DEFAULTS if d[:2] not in UNOBSERVABLE],
                         ids=[i for i, d in zip(IDS, DEFAULTS) if d[:2] not in UNOBSERVABLE])
def test_the_script_would_see_another_default(name, param, default):
    # Guards the test above: with its script, a different value changes the outcome.
    assert outcome(name) != outcome(name, **{param: other_than(default)})
