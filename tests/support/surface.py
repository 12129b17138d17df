"""The callable surface of the module, in one table: every class, method and
function with its text signature, its docstring (byte for byte) and the
positional arguments of one ordinary call.

Tests that enumerate the callables read this table (the docstring and
signature checks, the checks of the declared defaults, the module surface, the
hostile-argument test) and so does tools/leak_check.py: a new callable is one
row here plus the tests of its behaviour.
"""
from collections import namedtuple

import quorvex_micro as qm

# name: dotted from the module; signature: __text_signature__; doc: __doc__
# (None: no docstring is published); args: the required arguments of a sample
# call (for a class, of its constructor; a method is called on an instance
# built from its class's row).
Row = namedtuple("Row", "name signature doc args")

FLAGS = [qm.USER, qm.TOOL, qm.ASSISTANT, 0, qm.THINKING, qm.USER, qm.FACT, qm.SYSTEM]
# A history in which every setting of dehydrate changes what survives.
HISTORY = [(f"message {i} " + "x" * (i % 7), FLAGS[i % len(FLAGS)]) for i in range(24)]
FLOOD = "alpha beta gamma delta epsilon zeta eta theta iota " * 3 + "kappa lambda mu nu xi"

CLASSES = ("HormonalBus", "HormonalSignal", "ContextApoptosis")

SURFACE = [
    Row('HormonalBus', '(num_signals=32, event_capacity=4096)',
        'Lock-free hormonal signalling bus. `inject`/`secrete` are O(popcount) and\nrelease the GIL; `sense` reads the current concentration for a channel mask.',
        ()),
    Row('HormonalBus.inject', '($self, signal)',
        'Inject a typed `HormonalSignal` (the primary API).',
        (qm.HormonalSignal(3, 0.5),)),
    Row('HormonalBus.secrete', '($self, flags, intensity)',
        'Raw injection by `(flags, intensity)` — the microsecond hot path.',
        (5, 0.25)),
    Row('HormonalBus.sense', '($self, mask)',
        'Current summed concentration across every channel in `mask`.',
        (0xF0F0,)),
    Row('HormonalBus.concentration', '($self, signal_bit)',
        'Concentration of a single channel bit.',
        (3,)),
    Row('HormonalBus.tick', '($self, decay)',
        'Multiplicative decay/dissipation of every channel (temporal homeostasis).',
        (0.5,)),
    Row('HormonalBus.snapshot', '($self)',
        None,
        ()),
    Row('HormonalBus.drain_events', '($self, max)',
        'Drain up to `max` buffered signal events as `(flags, intensity)` pairs.',
        (8,)),
    Row('HormonalBus.stats', '($self)',
        None,
        ()),
    Row('HormonalSignal', '(flags, intensity=1.0)',
        'A single hormonal signal: bitwise channel `flags` (`u32`) + `intensity` (`f32`).',
        (5,)),
    Row('ContextApoptosis', '(half_life=2.0, safe_threshold=0.35, capacity=256, state_capacity=64)',
        'A self-dehydrating context window. Insert blocks, then run `dehydrate` cycles;\neach cycle halves oxygen over `half_life` and purges anything below the\n`safe_threshold` (durable classes are reinforced and survive).',
        ()),
    Row('ContextApoptosis.set_purpose', '($self, text)',
        'Set (or clear, with `None`) the purpose contract — the stable header\nrendered above the history. Keep it byte-identical between calls so it\nstays inside a provider prompt-cache prefix.',
        ("the purpose",)),
    Row('ContextApoptosis.note_state', '($self, fact)',
        'Append a durable fact/decision to the consolidated STATE ledger.\nDeduplicated by content hash; oldest entries roll off past capacity.',
        ("a fact",)),
    Row('ContextApoptosis.state_entries', '($self)',
        'The current STATE ledger entries, oldest first.',
        ()),
    Row('ContextApoptosis.insert', '($self, content, signal=0, oxygen=...)',
        'Insert a context block. `oxygen < 0` (default) → auto metabolic weight.',
        ("a block of the history",)),
    Row('ContextApoptosis.dehydrate', '($self, reinforce_boost=0.5, absorb=False)',
        'One half-life decay cycle → returns the number of purged blocks. Durable\nclasses are reinforced by `reinforce_boost`; everything else decays by\n`2^(-1/half_life)` and is purged in place if it drops below the threshold.\n\nWith `absorb=True`, purged USER/ASSISTANT cells leave a one-line digest\nin the STATE ledger instead of vanishing without trace (TOOL/THINKING\nballast is still dropped silently — it is noise by definition).',
        ()),
    Row('ContextApoptosis.active_context', '($self)',
        None,
        ()),
    Row('ContextApoptosis.render', '($self)',
        'The dehydrated context, newline-joined, ready to dispatch. Layout is\ncache-friendly: [purpose contract (stable)] + [STATE ledger] + [survivors].',
        ()),
    Row('ContextApoptosis.active_tokens', '($self)',
        None,
        ()),
    Row('ContextApoptosis.inserted_tokens', '($self)',
        None,
        ()),
    Row('ContextApoptosis.reduction_ratio', '($self)',
        'Fraction of inserted tokens reclaimed by apoptosis (0..1).',
        ()),
    Row('dehydrate', '(messages, half_life=6.0, safe_threshold=0.35, stable_prefix=0)',
        'Dehydrate a whole message history in a single pass (oldest → newest).\n\n`messages` is a list of `(content, signal_flags)`. Older, lower-value blocks\nare decayed by recency-weighted half-life and purged below `safe_threshold`;\ndurable classes (SYSTEM, FACT) always survive. Returns the surviving blocks\nplus audited savings and the pure-kernel latency in microseconds.\n\n`stable_prefix` is the cache-aware zone: the first N messages are kept\nverbatim no matter their class, so a provider prompt-cache prefix stays\nbyte-identical between calls. Apoptosis only acts on the mobile suffix.',
        (HISTORY,)),
    Row('saturation_scan', '(text, window=8)',
        'Detect input saturation: the fraction of the payload that is **repetition**.\n\nCognitive-DDoS, forged-log floods and jailbreak spam are highly repetitive —\nthey reuse the same phrases to exhaust the context window. This scores the\nfraction of duplicate `w`-token shingles (default 8): ~1.0 = a repetitive\nflood (RED ALERT), ~0.0 = natural, high-entropy text. Pure O(n), no\nallocation (shingles are hashed, not materialised), microsecond-scale.',
        (FLOOD,)),
    Row('consolidation_gain', '(prefix_tokens, purgeable_tokens, calls_ahead=8, cache_read_ratio=0.1, cache_write_ratio=1.25)',
        'Decide whether consolidating (rewriting) a provider-cached prefix pays off.\n\nRewriting a cached prefix purges `purgeable_tokens` of ballast but forfeits\nthe cache discount on the next call (a fresh cache write). Keeping it stale\nre-pays the cached read of the ballast on every future call. In input-token\nequivalents (uncached input = 1.0), over the next `calls_ahead` calls:\n\n  keep:        calls_ahead · prefix · read_ratio\n  consolidate: (prefix − purgeable) · write_ratio\n               + (calls_ahead − 1) · (prefix − purgeable) · read_ratio\n\nDefault ratios match current Anthropic pricing (cache read = 0.1× input,\ncache write = 1.25× input). Returns the net gain (positive → consolidate\nnow) plus the break-even number of calls.',
        (10_000, 4_000)),
    Row('effort_gauge', '(text)',
        'Gauge the reasoning effort a request deserves. Returns a dict:\n`score` (0..1), `tier` ("off" | "low" | "medium" | "high"),\n`budget_tokens` (0 | 1024 | 4096 | 16384) and the raw `signals`.',
        ("design a migration that must never lose data; fn main() { }",)),
]

ROWS = {row.name: row for row in SURFACE}
FUNCTIONS = [row.name for row in SURFACE if "." not in row.name and row.name not in CLASSES]


def resolve(name):
    """The object a dotted name denotes, read through the module."""
    obj = qm
    for part in name.split("."):
        obj = getattr(obj, part)
    return obj


def instance(cls_name):
    """A new instance of a class, made with its row's sample arguments."""
    return resolve(cls_name)(*ROWS[cls_name].args)


def target(name):
    """What a call of `name` calls: the function or class, or the method bound
    to a new instance."""
    if "." not in name:
        return resolve(name)
    cls_name, attr = name.split(".")
    return getattr(instance(cls_name), attr)
