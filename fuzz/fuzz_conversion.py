"""Atheris fuzz target: the module-level dehydrate through the real extension, fed
with object graphs built from the fuzz bytes (sequences of pairs, subclasses,
conversion hooks that raise, lie or mutate the list being converted).

Every graph is built twice from the same bytes: a plain Python model of the
argument conversion runs on one copy and predicts the outcome, the extension
runs on the other, and the two must agree on the exception type (and our own
messages and notes) or on the converted history, whose result must then satisfy
the audit invariants.

Run through fuzz/run.sh, which builds the instrumented extension and preloads
the sanitizer runtime that ships with atheris.
"""
import operator
import sys
from pathlib import Path

import atheris

import quorvex_micro as qm

# The hostile hooks are the tests' own (tests/support/), beside this fuzz/ folder.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support.hostile import (Float, HookedList, HookError, Index, LyingFloat,  # noqa: E402
                             LyingInt, LyingStr, LyingTuple, Seq, mutate)

RAISED = [HookError, KeyboardInterrupt, MemoryError, ValueError]
TEXTS = ["", "a", "hello world", "é" * 3, "\u2028x", "\ud800", "a\udfffb", "ok " * 40, "\x00"]
INTS = [0, 1, 2, 4, 8, 9, 16, 32, 63, 2**31, 2**32 - 1, 2**32, 2**63, 2**64 - 1, 2**64, -1, -(2**70)]
FLOATS = [0.0, -0.0, 0.1, 6.0, 0.35, -3.0, 1e40, -1e40, float("inf"), float("nan"), 1e-45]


def build(data):
    """One object graph per call, fully determined by `data`."""
    fdp = atheris.FuzzedDataProvider(data)

    def pick(options):
        return options[fdp.ConsumeIntInRange(0, len(options) - 1)]

    def hook_result(value):
        """What an __index__ hook answers: the value, a wrong type or an exception."""
        raises = pick([None, None, *RAISED])
        return raises or ("not an int" if fdp.ConsumeBool() else value)

    def text():
        kind = fdp.ConsumeIntInRange(0, 7)
        if kind == 0:
            return fdp.ConsumeUnicode(12)  # may hold lone surrogates
        if kind == 1:
            return LyingStr(pick(TEXTS))
        if kind == 2:
            return pick([None, 1, b"bytes", 1.5])
        return pick(TEXTS)

    def flags(container):
        kind = fdp.ConsumeIntInRange(0, 11)
        if kind == 0:
            return LyingInt(pick(INTS[:10]))
        if kind == 1:
            return Index(hook_result(pick(INTS)))
        if kind == 2:
            action = fdp.ConsumeIntInRange(0, 3)
            return Index(pick(INTS[:8]), before=lambda: mutate(container, action))
        if kind == 3:
            return pick([True, False, None, 1.0, "2"])
        return pick(INTS)

    def item(container):
        kind = fdp.ConsumeIntInRange(0, 15)
        if kind == 0:
            return LyingTuple((text(), flags(container)))
        if kind == 1:
            return tuple([text()] * fdp.ConsumeIntInRange(0, 3))
        if kind == 2:
            return [text(), flags(container)]
        if kind == 3:
            return pick([None, 7, "xy"])
        return (text(), flags(container))

    def number(integral):
        kind = fdp.ConsumeIntInRange(0, 6)
        if kind == 0:
            return None  # omitted
        if kind == 1:
            raises = pick([None, *RAISED])
            return Float(raises or ("not a float" if fdp.ConsumeBool() else pick(FLOATS)))
        if kind == 2:
            return Index(hook_result(pick(INTS)))
        if kind == 3:
            return pick([LyingFloat(0.5), LyingInt(3), "1.0", None.__class__, True])
        return pick(INTS) if integral else pick(FLOATS + INTS[:3])

    container_kind = fdp.ConsumeIntInRange(0, 7)
    items_box = []
    if container_kind <= 3:
        messages = items_box
    elif container_kind == 4:
        messages = HookedList([], length=pick([None, -1, 2**62, "x", *RAISED]))
        items_box = messages
    else:
        messages = None
    count = fdp.ConsumeIntInRange(0, 6)
    items = [item(items_box) for _ in range(count)]
    items_box.extend(items)
    if container_kind == 2:
        messages = tuple(items)
    elif container_kind == 3:
        messages = HookedList(items, iterate=pick([items[::-1], HookError, KeyboardInterrupt]))
    elif container_kind == 5:
        messages = Seq(items)
    elif container_kind == 6:
        messages = pick(["not a list", {"a": 1}, {("a", 1)}, (m for m in items), range(3), b"ab", 5])
    elif container_kind == 7:
        messages = LyingTuple(items)
    others = [number(False), number(False), number(True)]
    as_keywords = fdp.ConsumeBool()
    return messages, others, as_keywords


# --- the model of the conversion ---------------------------------------------------------------


class Expected(Exception):
    def __init__(self, exc_type, param, message=None):
        super().__init__(exc_type, param, message)
        self.exc_type, self.param, self.message = exc_type, param, message


def qualname(obj):
    return type(obj).__qualname__


def not_instance(obj, expected):
    if obj is None:
        return f"'None' is not an instance of '{expected}'"
    return f"'{qualname(obj)}' object is not an instance of '{expected}'"


def model_u64(obj):
    value = int.__index__(obj) if isinstance(obj, int) else operator.index(obj)
    if value < 0 or value > 2**64 - 1:
        raise OverflowError(value)
    return value


def model_u32(obj):
    value = model_u64(obj)
    if value > 2**32 - 1:
        raise OverflowError("out of range integral type conversion attempted")
    return value


def model_f64(obj):
    if isinstance(obj, float):
        return float.__float__(obj)
    kind = type(obj)
    if hasattr(kind, "__float__"):
        result = obj.__float__()
        if not isinstance(result, float):
            raise TypeError("__float__ returned non-float")
        return float.__float__(result)
    if hasattr(kind, "__index__"):
        return float(operator.index(obj))
    raise TypeError(f"must be real number, not {qualname(obj)}")


def is_sequence(obj):
    return not isinstance(obj, dict) and hasattr(type(obj), "__getitem__")


def guarded(param, convert, obj, message=None):
    """Runs one conversion of the model; its failure becomes the prediction."""
    try:
        return convert(obj)
    except Expected:
        raise
    except BaseException as exc:  # noqa: BLE001 - hooks raise anything
        raise Expected(type(exc), param, message) from None


def model_messages(obj):
    if isinstance(obj, str):
        raise Expected(TypeError, "messages", "Can't extract `str` to `Vec`")
    if not is_sequence(obj):
        raise Expected(TypeError, "messages", not_instance(obj, "Sequence"))
    try:
        len(obj)
    except MemoryError:
        raise Expected(MemoryError, "messages") from None
    except Exception:  # noqa: BLE001 - only sizes a reservation
        pass
    except BaseException as exc:  # noqa: BLE001
        raise Expected(type(exc), "messages") from None
    history = []
    iterator = guarded("messages", iter, obj)
    while True:
        try:
            element = next(iterator)
        except StopIteration:
            break
        except BaseException as exc:  # noqa: BLE001
            raise Expected(type(exc), "messages") from None
        if not isinstance(element, tuple):
            raise Expected(TypeError, "messages", not_instance(element, "tuple"))
        size = tuple.__len__(element)
        if size != 2:
            raise Expected(ValueError, "messages",
                           f"expected tuple of length 2, but got tuple of length {size}")
        content, flags = tuple.__getitem__(element, 0), tuple.__getitem__(element, 1)
        if not isinstance(content, str):
            raise Expected(TypeError, "messages", not_instance(content, "str"))
        guarded("messages", lambda s: str.encode(s, "utf-8"), content)
        history.append((str.__str__(content), guarded("messages", model_u32, flags)))
    return history


def model_call(messages, others):
    history = model_messages(messages)
    half_life, threshold, prefix = others
    if half_life is not None:
        guarded("half_life", model_f64, half_life)
    if threshold is not None:
        guarded("safe_threshold", model_f64, threshold)
    stable_prefix = 0 if prefix is None else guarded("stable_prefix", model_u64, prefix)
    return history, stable_prefix


# --- the check -------------------------------------------------------------------------------


def call(messages, others, as_keywords):
    names = ["half_life", "safe_threshold", "stable_prefix"]
    if as_keywords:
        kwargs = {n: v for n, v in zip(names, others) if v is not None}
        return qm.dehydrate(messages=messages, **kwargs)
    args = [messages]
    for value in others:
        if value is None:
            break  # positional arguments stop at the first omitted one
        args.append(value)
    return qm.dehydrate(*args)


def normalise(others, as_keywords):
    """The arguments actually passed, as the model must see them."""
    if as_keywords:
        return others
    passed = []
    for value in others:
        if value is None:
            break
        passed.append(value)
    return passed + [None] * (3 - len(passed))


def check_result(result, history, stable_prefix):
    assert list(result) == ["kept", "blocks_in", "blocks_kept", "blocks_purged", "tokens_before",
                            "tokens_after", "reduction", "stable_prefix_tokens",
                            "kernel_latency_us"], list(result)
    texts = [content for content, _ in history]
    kept = result["kept"]
    assert all(type(k) is str for k in kept)
    # Order-preserving subsequence of the converted texts.
    position = 0
    for k in kept:
        while position < len(texts) and texts[position] != k:
            position += 1
        assert position < len(texts), (kept, texts)
        position += 1
    tokens = [len(t.encode("utf-8")) // 4 + 1 for t in texts]
    p = min(len(texts), stable_prefix)
    assert result["blocks_in"] == len(texts)
    assert result["blocks_kept"] == len(kept)
    assert result["blocks_kept"] + result["blocks_purged"] == result["blocks_in"]
    assert result["tokens_before"] == sum(tokens)
    assert result["tokens_after"] == sum(len(k.encode("utf-8")) // 4 + 1 for k in kept)
    assert result["tokens_after"] <= result["tokens_before"]
    assert result["stable_prefix_tokens"] == sum(tokens[:p])
    assert kept[:p] == texts[:p]
    durable = sum(1 for i, (_, f) in enumerate(history) if i >= p and f & 9)
    assert len(kept) >= p + durable
    before, after = result["tokens_before"], result["tokens_after"]
    assert result["reduction"] == (0.0 if before == 0 else 1.0 - after / before)
    assert 0.0 <= result["reduction"] <= 1.0
    assert result["kernel_latency_us"] >= 0.0


def test_one_input(data):
    model_messages_obj, model_others, as_keywords = build(data)
    messages, others, _ = build(data)
    model_others = normalise(model_others, as_keywords)
    try:
        expected = model_call(model_messages_obj, model_others)
    except Expected as prediction:
        expected = prediction
    try:
        result = call(messages, others, as_keywords)
    except BaseException as exc:  # noqa: BLE001 - every escape is compared with the model
        if not isinstance(expected, Expected):
            raise AssertionError(f"unexpected {type(exc).__name__}: {exc}") from exc
        if type(exc) is not expected.exc_type:
            raise AssertionError(f"{type(exc).__name__} instead of {expected.exc_type.__name__}") \
                from exc
        if expected.message is not None:
            assert str(exc) == expected.message, (str(exc), expected.message)
        note = f"while processing '{expected.param}'"
        assert note in getattr(exc, "__notes__", []), (note, getattr(exc, "__notes__", None))
        return
    if isinstance(expected, Expected):
        raise AssertionError(f"no error, but {expected.exc_type.__name__} was expected for "
                             f"{expected.param}: {expected.message}")
    history, stable_prefix = expected
    check_result(result, history, stable_prefix)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
