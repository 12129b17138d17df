"""`Options`: every choice `trim`, `Conversation` and the adapters take, validated once.

Each option means the same wherever it is given, and an option that the chosen mode would
ignore is refused rather than dropped: a pin that nothing honours is a lost message.
"""

from __future__ import annotations

import ctypes
import math
import os
from dataclasses import dataclass, field
from typing import Any, Callable, Hashable, Iterable, Mapping, MutableMapping

from ._counting import TokenCounter, resolve_counter, resolve_counts
from ._formats import FORMATS, Provider
from ._measure import Meter
from ._tables import FLAGS, PART_TOKENS

#: The options that only a budget gives a meaning to.
BUDGET_ONLY = ("pin", "exclude_tools", "keep_recent_results", "system", "tools")
#: The options of a `Conversation` alone: how it prices and plans its rewrites.
CONVERSATION_ONLY = ("target", "cache_read_ratio", "cache_write_ratio", "on_edit", "store",
                     "recall_lines")


def _float32(value: float) -> float:
    """`value` narrowed to single precision, as the kernel narrows its arguments."""
    return ctypes.c_float(value).value


_MIN_HALF_LIFE = _float32(0.1)  # the kernel raises any smaller half-life (and NaN) to this
_FLAG_LIMIT = 1 << 32


def _is_int(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _table(name: str, given: Mapping[str, int] | None, defaults: Mapping[str, int],
           limit: int) -> Mapping[str, int]:
    if given is None:
        return defaults
    if not isinstance(given, Mapping):
        raise TypeError(f"{name} must be a mapping of str to int, not {type(given).__name__}")
    for key, value in given.items():
        if not isinstance(key, str) or not _is_int(value) or not 0 <= value < limit:
            raise ValueError(f"{name}[{key!r}] must be an int from 0 to {limit - 1:,}, "
                             f"not {value!r}")
    return {**defaults, **given}


def _identity(counter: object) -> Hashable:
    """The caller's counter, where it can key a cache (None: the wrapper does)."""
    try:
        hash(counter)
    except TypeError:
        return None
    return counter


@dataclass(frozen=True, slots=True, kw_only=True)
class Options:
    """The options of one trim or conversation. See `trim` and `Conversation` for what each
    means; made and checked once, immutable after."""

    max_tokens: int | None = None
    token_counter: TokenCounter | None = None
    provider: Provider | None = None
    half_life: float = 6.0
    safe_threshold: float | None = None
    stable_prefix: int | None = None
    flags: Mapping[str, int] | None = None
    part_tokens: Mapping[str, int] | None = None
    system: object = None
    tools: object = None
    pin: Callable[[Any], bool] | None = None
    exclude_tools: Iterable[str] = ()
    keep_recent_results: int = 0
    #: A `Conversation`'s compaction target, as a share of the budget left beside `system`
    #: and `tools`: 0 < target <= 1. None: the cost model's.
    target: float | None = None
    cache_read_ratio: float = 0.1
    cache_write_ratio: float = 1.25
    on_edit: str = "replan"
    #: Where a `Conversation` keeps the originals its notices name: a mutable mapping of
    #: handle to text, the path of a SQLite file, or None for one in memory.
    store: object = field(default=None, compare=False)
    #: Whether a `Conversation` writes into each new request the lines it points at among
    #: the messages no longer shown whole.
    recall_lines: bool = True

    meter: Meter = field(init=False, repr=False, compare=False)
    #: Tokens the provider bills beside the messages, by `meter`.
    overhead: int = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        self._check_numbers()
        if self.provider is not None and self.provider not in FORMATS:
            raise ValueError(f"provider must be one of {', '.join(map(repr, FORMATS))} or "
                             f"None, not {self.provider!r}")
        if self.pin is not None and not callable(self.pin):
            raise TypeError(f"pin must be a callable message -> bool, not "
                            f"{type(self.pin).__name__}")
        if isinstance(self.exclude_tools, (str, bytes)) or not isinstance(
                self.exclude_tools, Iterable):
            raise TypeError(f"exclude_tools must be a list of tool names, not "
                            f"{self.exclude_tools!r}")
        names = tuple(self.exclude_tools)
        if not all(isinstance(name, str) for name in names):
            raise TypeError("exclude_tools must hold tool names (str)")
        object.__setattr__(self, "exclude_tools", names)
        if self.store is not None and not isinstance(self.store, (MutableMapping, str,
                                                                  os.PathLike)):
            raise TypeError(f"store must be a mutable mapping of handle to text or the path "
                            f"of a SQLite file, not {type(self.store).__name__}")
        if not isinstance(self.recall_lines, bool):
            raise TypeError(f"recall_lines must be a bool, not "
                            f"{type(self.recall_lines).__name__}")
        if self.on_edit not in ("replan", "raise"):
            raise ValueError(f"on_edit must be 'replan' or 'raise', not {self.on_edit!r}")
        count = resolve_counter(self.token_counter)
        meter = Meter(_table("flags", self.flags, FLAGS, _FLAG_LIMIT),
                      _table("part_tokens", self.part_tokens, PART_TOKENS, _FLAG_LIMIT),
                      count, _identity(self.token_counter),
                      resolve_counts(self.token_counter, count))
        object.__setattr__(self, "meter", meter)
        object.__setattr__(self, "overhead", meter.beside(self.system, self.tools))

    def _check_numbers(self) -> None:
        if self.max_tokens is not None and not (_is_int(self.max_tokens)
                                                and self.max_tokens >= 0):
            raise ValueError(f"max_tokens must be a non-negative int or None, not "
                             f"{self.max_tokens!r}")
        if self.stable_prefix is not None and not (_is_int(self.stable_prefix)
                                                   and self.stable_prefix >= 0):
            raise ValueError(f"stable_prefix must be a non-negative int or None, not "
                             f"{self.stable_prefix!r}")
        if not (_is_int(self.keep_recent_results) and self.keep_recent_results >= 0):
            raise ValueError(f"keep_recent_results must be a non-negative int, not "
                             f"{self.keep_recent_results!r}")
        for name in ("half_life", "safe_threshold", "cache_read_ratio", "cache_write_ratio"):
            value = getattr(self, name)
            if value is not None and not _is_number(value):
                raise TypeError(f"{name} must be a number, not {type(value).__name__}")
        for name in ("cache_read_ratio", "cache_write_ratio"):
            if not (math.isfinite(getattr(self, name)) and getattr(self, name) >= 0):
                raise ValueError(f"{name} must be a finite non-negative number")
        target = self.target
        if target is not None and not (_is_number(target) and 0 < target <= 1):
            raise ValueError(f"target must be a share of the budget, 0 < target <= 1, or "
                             f"None, not {target!r}")

    @property
    def kernel_half_life(self) -> float:
        """The half-life as the kernel uses it: single precision, at least 0.1."""
        chosen = _float32(self.half_life)
        return chosen if chosen >= _MIN_HALF_LIFE else _MIN_HALF_LIFE

    def given(self, name: str) -> bool:
        """Whether option `name` was set to anything but its neutral default."""
        value = getattr(self, name)
        neutral = Options.__dataclass_fields__[name].default
        return value is not None and value != neutral

    def for_trim(self) -> Options:
        """These options, checked for `trim`: no option its mode would ignore."""
        given = [name for name in CONVERSATION_ONLY if self.given(name)]
        if given:
            raise TypeError(f"{given[0]} is an option of Conversation, not of trim")
        if self.max_tokens is None:
            given = [name for name in BUDGET_ONLY if self.given(name)]
            if given:
                raise ValueError(f"{given[0]} applies only with max_tokens: without a budget, "
                                 f"trim decays messages by age alone")
        elif self.safe_threshold is not None:
            raise ValueError("safe_threshold applies only without max_tokens: under a budget "
                             "the threshold is searched for")
        return self

    def for_conversation(self) -> Options:
        """These options, checked for a `Conversation`: a budget, and no decay threshold."""
        if self.max_tokens is None:
            raise ValueError("max_tokens must be a non-negative int, not None")
        if self.safe_threshold is not None:
            raise ValueError("safe_threshold applies only to trim without max_tokens")
        return self

    def state(self) -> dict[str, Any]:
        """What a saved conversation state must have been made with, as JSON values."""
        return {"max_tokens": self.max_tokens, "half_life": self.half_life,
                "provider": self.provider, "stable_prefix": self.stable_prefix,
                "flags": dict(self.flags or {}), "part_tokens": dict(self.part_tokens or {}),
                "overhead_tokens": self.overhead, "target": self.target,
                "ratios": [self.cache_read_ratio, self.cache_write_ratio],
                "pin": self.pin is not None, "exclude_tools": sorted(self.exclude_tools),
                "keep_recent_results": self.keep_recent_results,
                "recall_lines": self.recall_lines}
