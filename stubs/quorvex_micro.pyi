"""Quorvex Micro-Kernel — lock-free hormonal bus + context apoptosis."""

from collections.abc import Sequence
from typing import Final, Literal, TypedDict, final, type_check_only

__version__: Final[str]
__all__ = [
    "HormonalBus",
    "HormonalSignal",
    "ContextApoptosis",
    "dehydrate",
    "saturation_scan",
    "consolidation_gain",
    "effort_gauge",
    "SYSTEM",
    "USER",
    "ASSISTANT",
    "FACT",
    "TOOL",
    "THINKING",
    "__doc__",
    "__version__",
]

SYSTEM: Final[int]
USER: Final[int]
ASSISTANT: Final[int]
FACT: Final[int]
TOOL: Final[int]
THINKING: Final[int]

# The result dicts are plain dicts at run time; these names exist for type checkers only.

@type_check_only
class DehydrateResult(TypedDict):
    kept: list[str]
    blocks_in: int
    blocks_kept: int
    blocks_purged: int
    tokens_before: int
    tokens_after: int
    reduction: float
    stable_prefix_tokens: int
    kernel_latency_us: float

@type_check_only
class EffortSignals(TypedDict):
    words: int
    len_score: float
    hard_hits: int
    constraint_hits: int
    code_hits: int
    digit_ratio: float
    novelty: float
    trivial_hits: int

@type_check_only
class EffortResult(TypedDict):
    score: float
    tier: Literal["off", "low", "medium", "high"]
    budget_tokens: Literal[0, 1024, 4096, 16384]
    signals: EffortSignals

@type_check_only
class ConsolidationResult(TypedDict):
    consolidate: bool
    gain_token_equiv: float
    cost_keep: float
    cost_consolidate: float
    break_even_calls: float

@type_check_only
class BusStats(TypedDict):
    num_signals: float
    secretions: float
    total_concentration: float

def dehydrate(
    messages: Sequence[tuple[str, int]],
    half_life: float = 6.0,
    safe_threshold: float = 0.35,
    stable_prefix: int = 0,
) -> DehydrateResult:
    """Dehydrate a whole message history in a single pass (oldest → newest).

    `messages` is a list of `(content, signal_flags)`. Older, lower-value blocks
    are decayed by recency-weighted half-life and purged below `safe_threshold`;
    durable classes (SYSTEM, FACT) always survive. Returns the surviving blocks
    plus audited savings and the pure-kernel latency in microseconds.

    `stable_prefix` is the cache-aware zone: the first N messages are kept
    verbatim no matter their class, so a provider prompt-cache prefix stays
    byte-identical between calls. Apoptosis only acts on the mobile suffix.
    """

def saturation_scan(text: str, window: int = 8) -> float:
    """Detect input saturation: the fraction of the payload that is **repetition**.

    Cognitive-DDoS, forged-log floods and jailbreak spam are highly repetitive —
    they reuse the same phrases to exhaust the context window. This scores the
    fraction of duplicate `w`-token shingles (default 8): ~1.0 = a repetitive
    flood (RED ALERT), ~0.0 = natural, high-entropy text. Pure O(n), no
    allocation (shingles are hashed, not materialised), microsecond-scale.
    """

def consolidation_gain(
    prefix_tokens: int,
    purgeable_tokens: int,
    calls_ahead: int = 8,
    cache_read_ratio: float = 0.1,
    cache_write_ratio: float = 1.25,
) -> ConsolidationResult:
    """Decide whether consolidating (rewriting) a provider-cached prefix pays off.

    Rewriting a cached prefix purges `purgeable_tokens` of ballast but forfeits
    the cache discount on the next call (a fresh cache write). Keeping it stale
    re-pays the cached read of the ballast on every future call. In input-token
    equivalents (uncached input = 1.0), over the next `calls_ahead` calls:

      keep:        calls_ahead · prefix · read_ratio
      consolidate: (prefix − purgeable) · write_ratio
                   + (calls_ahead − 1) · (prefix − purgeable) · read_ratio

    Default ratios match current Anthropic pricing (cache read = 0.1× input,
    cache write = 1.25× input). Returns the net gain (positive → consolidate
    now) plus the break-even number of calls.
    """

def effort_gauge(text: str) -> EffortResult:
    """Gauge the reasoning effort a request deserves. Returns a dict:
    `score` (0..1), `tier` ("off" | "low" | "medium" | "high"),
    `budget_tokens` (0 | 1024 | 4096 | 16384) and the raw `signals`.
    """

@final
class HormonalSignal:
    """A single hormonal signal: bitwise channel `flags` (`u32`) + `intensity` (`f32`)."""

    flags: int
    intensity: float
    def __new__(cls, flags: int, intensity: float = 1.0) -> HormonalSignal: ...

@final
class HormonalBus:
    """Lock-free hormonal signalling bus. `inject`/`secrete` are O(popcount) and
    release the GIL; `sense` reads the current concentration for a channel mask.
    """

    def __new__(cls, num_signals: int = 32, event_capacity: int = 4096) -> HormonalBus: ...
    def inject(self, signal: HormonalSignal) -> None:
        """Inject a typed `HormonalSignal` (the primary API)."""

    def secrete(self, flags: int, intensity: float) -> None:
        """Raw injection by `(flags, intensity)` — the microsecond hot path."""

    def sense(self, mask: int) -> float:
        """Current summed concentration across every channel in `mask`."""

    def concentration(self, signal_bit: int) -> float:
        """Concentration of a single channel bit."""

    def tick(self, decay: float) -> None:
        """Multiplicative decay/dissipation of every channel (temporal homeostasis)."""

    def snapshot(self) -> list[float]: ...
    def drain_events(self, max: int) -> list[tuple[int, float]]:
        """Drain up to `max` buffered signal events as `(flags, intensity)` pairs."""

    def stats(self) -> BusStats: ...

@final
class ContextApoptosis:
    """A self-dehydrating context window. Insert blocks, then run `dehydrate` cycles;
    each cycle halves oxygen over `half_life` and purges anything below the
    `safe_threshold` (durable classes are reinforced and survive).
    """

    def __new__(
        cls,
        half_life: float = 2.0,
        safe_threshold: float = 0.35,
        capacity: int = 256,
        state_capacity: int = 64,
    ) -> ContextApoptosis: ...
    def set_purpose(self, text: str | None) -> None:
        """Set (or clear, with `None`) the purpose contract — the stable header
        rendered above the history. Keep it byte-identical between calls so it
        stays inside a provider prompt-cache prefix.
        """

    def note_state(self, fact: str) -> bool:
        """Append a durable fact/decision to the consolidated STATE ledger.
        Deduplicated by content hash; oldest entries roll off past capacity.
        """

    def state_entries(self) -> list[str]:
        """The current STATE ledger entries, oldest first."""

    def insert(self, content: str, signal: int = 0, oxygen: float = ...) -> None:
        """Insert a context block. `oxygen < 0` (default) → auto metabolic weight."""

    def dehydrate(self, reinforce_boost: float = 0.5, absorb: bool = False) -> int:
        """One half-life decay cycle → returns the number of purged blocks. Durable
        classes are reinforced by `reinforce_boost`; everything else decays by
        `2^(-1/half_life)` and is purged in place if it drops below the threshold.

        With `absorb=True`, purged USER/ASSISTANT cells leave a one-line digest
        in the STATE ledger instead of vanishing without trace (TOOL/THINKING
        ballast is still dropped silently — it is noise by definition).
        """

    def active_context(self) -> list[str]: ...
    def render(self) -> str:
        """The dehydrated context, newline-joined, ready to dispatch. Layout is
        cache-friendly: [purpose contract (stable)] + [STATE ledger] + [survivors].
        """

    def active_tokens(self) -> int: ...
    def inserted_tokens(self) -> int: ...
    def reduction_ratio(self) -> float:
        """Fraction of inserted tokens reclaimed by apoptosis (0..1)."""

    def __len__(self) -> int: ...
