"""A `Conversation`'s saved state: the plan of the prompt last sent, as JSON values, and its
checks when it comes back from wherever the application kept it."""

from __future__ import annotations

import json
from typing import Any, Mapping

from ._formats import FORMATS, Provider
from ._options import Options
from ._plan import CLAMPED, DROPPED, ELIDED, KEPT, SHRUNK, Plan, layout
from ._reading import Reading
from ._recall import HANDLE_PATTERN
from ._shapes import only_results

#: 2: tokens count framing; 3: notices name handles; 4: requests carry recalled lines.
STATE_FORMAT = "quorvex_chat.Conversation/4"
_BEFORE_RECALLED_LINES = "quorvex_chat.Conversation/3"  # restored with none
_FATES = {str(fate): fate for fate in (DROPPED, KEPT, ELIDED, CLAMPED, SHRUNK)}


def saved_state(options: Options, reading: Reading, plan: Plan, *, provider: Provider | None,
                appended: int, calls: int, frozen: int | None, replans: int,
                compactions: int, handles: list[str]) -> dict[str, Any]:
    return {"format": STATE_FORMAT, "options": _as_json(options.state()),
            "provider": provider, "fates": "".join(map(str, plan.fates)),
            "tokens": list(reading.sizes), "classes": list(reading.classes),
            "digests": list(reading.digests),
            "clamps": {str(index): budget for index, budget in plan.clamps.items()},
            "over_budget": plan.over_budget, "appended": appended, "calls": calls,
            "frozen": frozen, "replans": replans, "compactions": compactions,
            "handles": handles,
            "lookups": {str(index): text for index, (text, _) in plan.lookups.items()}}


def _as_json(value: object) -> Any:
    return json.loads(json.dumps(value))


class _Invalid(ValueError):
    pass


def _count(state: Mapping[str, Any], key: str) -> int:
    value = state[key]
    if not isinstance(value, int) or isinstance(value, bool) or value < 0:
        raise _Invalid(f"{key!r} must be a non-negative int")
    return value


def _column(state: Mapping[str, Any], key: str, kind: type, length: int) -> list[Any]:
    value = state[key]
    if not isinstance(value, list) or len(value) != length or not all(
            isinstance(item, kind) and not isinstance(item, bool) for item in value):
        raise _Invalid(f"{key!r} must be a list of {length} {kind.__name__} values, one per "
                       f"message planned")
    return value


def restored_plan(state: Mapping[str, Any], options: Options) -> dict[str, Any]:
    """The fields of a saved state, checked: ValueError says what does not fit."""
    if not isinstance(state, Mapping) or state.get("format") not in (STATE_FORMAT,
                                                                     _BEFORE_RECALLED_LINES):
        raise ValueError(f"not a Conversation state: expected format {STATE_FORMAT!r}")
    expected = _as_json(options.state())
    if state["format"] == _BEFORE_RECALLED_LINES:
        expected.pop("recall_lines")
        state = {**state, "lookups": {}}
    if state.get("options") != expected:
        raise ValueError("the options differ from those the state was made with: "
                         "restore it with the same max_tokens, half_life, provider, "
                         "stable_prefix, flags, part_tokens, system, tools, target and "
                         "recall_lines")
    try:
        return {**_fields(state), "state": _as_json(state)}
    except (_Invalid, KeyError) as exc:
        reason = f"{exc.args[0]!r} is missing" if isinstance(exc, KeyError) else exc.args[0]
        raise ValueError(f"not a valid Conversation state: {reason}") from None


def _fields(state: Mapping[str, Any]) -> dict[str, Any]:
    fates = state["fates"]
    if not isinstance(fates, str) or any(fate not in _FATES for fate in fates):
        raise _Invalid("'fates' must be a string of the digits 0 to 4")
    n = len(fates)
    clamps = state["clamps"]
    if not isinstance(clamps, Mapping) or any(
            not (isinstance(key, str) and key.isdigit() and int(key) < n
                 and fates[int(key)] == str(CLAMPED) and isinstance(value, int))
            for key, value in clamps.items()) or sum(
            fate == str(CLAMPED) for fate in fates) != len(clamps):
        raise _Invalid("'clamps' must give the line budget of each clamped message")
    provider = state["provider"]
    if provider not in FORMATS and not (provider is None and not fates):
        raise _Invalid(f"'provider' must be one of {', '.join(map(repr, FORMATS))}")
    if not isinstance(state["over_budget"], bool):
        raise _Invalid("'over_budget' must be a bool")
    frozen = state.get("frozen")
    if frozen is not None and not (isinstance(frozen, int) and not isinstance(frozen, bool)
                                   and 0 <= frozen <= n):
        raise _Invalid("'frozen' must be None or the number of messages of a compaction")
    handles = state["handles"]
    if not isinstance(handles, list) or not all(
            isinstance(handle, str) and HANDLE_PATTERN.fullmatch(handle) for handle in handles):
        raise _Invalid("'handles' must be a list of the handles the prompt names")
    lookups = state["lookups"]
    if not isinstance(lookups, Mapping) or not all(
            isinstance(key, str) and key.isdigit() and int(key) < n and fates[int(key)] != "0"
            and isinstance(text, str) for key, text in lookups.items()):
        raise _Invalid("'lookups' must give the recalled lines of requests in the plan")
    return {"fates": bytearray(map(_FATES.__getitem__, fates)), "provider": provider,
            "lookups": {int(key): text for key, text in lookups.items()},
            "tokens": _column(state, "tokens", int, n),
            "classes": _column(state, "classes", int, n),
            "digests": _column(state, "digests", str, n),
            "clamps": {int(key): value for key, value in clamps.items()},
            "over_budget": state["over_budget"], "frozen": frozen,
            **{key: _count(state, key) for key in ("appended", "calls", "replans",
                                                   "compactions")}}


def check_plan(reading: Reading, plan: Plan) -> None:
    """A restored plan must keep what no plan may drop and give a prompt the provider
    takes: a state edited or corrupted where it was kept is refused, never sent."""
    form = layout(reading)
    lost = next((index for index, fate in enumerate(plan.fates)
                 if fate == DROPPED and form.protected[index] and index >= form.prefix), None)
    if lost is not None:
        raise ValueError(f"not a valid Conversation state: it drops message {lost}, which "
                         f"every plan keeps")
    shrunk = next((index for index, fate in enumerate(plan.fates)
                   if fate == SHRUNK and not only_results(reading.views[index])), None)
    if shrunk is not None:
        raise ValueError(f"not a valid Conversation state: it shrinks message {shrunk}, "
                         f"which holds more than tool results")
    views = [plan.copies[index][0] if index in plan.copies else reading.views[index]
             for index, fate in enumerate(plan.fates) if fate != DROPPED]
    errors = reading.format.validate(views)
    if errors:
        raise ValueError(f"not a valid Conversation state: its prompt breaks the "
                         f"provider's rules ({errors[0]})")
