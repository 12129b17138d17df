"""Hostile arguments shared by the tests, the conversion fuzzer and the leak check:
subclasses whose hooks lie (the module must read them by their storage), hooks
that answer a value of the wrong type, raise, or change the list being converted,
and containers whose length or iteration lies or fails.

A hook given an exception (a class or an instance) raises a fresh one on every
call: re-raising one instance would pile notes and tracebacks onto it, which
would look like a leak to the leak check and like a second note to the tests.
"""


class HookError(Exception):
    """Raised by conversion hooks; must come out of the module unchanged."""


def _is_exception(value):
    return isinstance(value, BaseException) or (
        isinstance(value, type) and issubclass(value, BaseException))


def answer(value, what="hook"):
    """`value`, or a fresh copy of it raised when it is an exception."""
    if isinstance(value, BaseException):
        raise type(value)(*value.args)
    if _is_exception(value):
        raise value(what)
    return value


class Index:
    """`__index__` answers `result` (any object, or an exception to raise). A
    `before` callable runs once, at the first call: hooks that mutate what is
    being converted."""

    def __init__(self, result, before=None):
        self.result, self.before = result, before

    def __index__(self):
        if self.before is not None:
            before, self.before = self.before, None
            before()
        return answer(self.result, "index hook")


class Float:
    """`__float__` answers `result` (any object, or an exception to raise)."""

    def __init__(self, result):
        self.result = result

    def __float__(self):
        return answer(self.result, "float hook")


class NumpyBool:
    """Passes for numpy.bool_ with the boolean rule; `__bool__` answers `result`."""

    def __init__(self, result):
        self.result = result

    def __bool__(self):
        return answer(self.result, "bool hook")


NumpyBool.__module__ = "numpy"
NumpyBool.__name__ = NumpyBool.__qualname__ = "bool_"


# --- plain subclasses: accepted, and read as their base type -----------------------------------


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


# --- subclasses whose hooks lie: the module reads their storage, never the hooks ---------------


class LyingInt(int):
    def __index__(self):
        raise HookError("an int subclass is read by its value")


class LyingFloat(float):
    def __float__(self):
        raise HookError("a float subclass is read by its value")


class LyingStr(str):
    def __str__(self):
        return "something else"

    def __len__(self):
        return 0

    def encode(self, *args, **kwargs):
        raise HookError("not how a str is read")


class LyingTuple(tuple):
    def __len__(self):
        return 2

    def __iter__(self):
        raise HookError("a tuple is read by its storage")

    def __getitem__(self, index):
        raise HookError("a tuple is read by its storage")


# --- containers --------------------------------------------------------------------------------


class HookedList(list):
    """A list whose `len()` answers `length` and whose iteration yields `iterate`
    (either may be an exception to raise; None keeps the list's own)."""

    def __init__(self, items, length=None, iterate=None):
        super().__init__(items)
        self.length, self.iterate = length, iterate

    def __len__(self):
        return list.__len__(self) if self.length is None else answer(self.length, "len hook")

    def __iter__(self):
        if self.iterate is None:
            return list.__iter__(self)
        return iter(answer(self.iterate, "iter hook"))


class Seq:
    """A sequence by `__getitem__` alone, iterated through the old protocol; an
    item that is an exception is raised when reached."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, index):
        return answer(self.items[index], "getitem hook")


class SizedSeq(Seq):
    """A `Seq` whose `len()` answers `length` (default: the true length; it may
    lie, or be an exception to raise)."""

    def __init__(self, items, length=None):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return len(self.items) if self.length is None else answer(self.length, "len hook")


def mutate(container, action):
    """One of four changes to a list while it is being converted."""
    if action == 0:
        container.clear()
    elif action == 1:
        container.append(("appended", 2))
    elif action == 2 and container:
        container.pop()
    elif action == 3:
        container[:] = [("replaced", 4)] * 3
