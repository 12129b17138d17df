"""Text signatures and docstrings of every class and callable, byte for byte."""
import inspect
import pydoc

import pytest

import quorvex_micro as qm

# (dotted name, __text_signature__, __doc__); an empty body publishes no docstring.
EXPECTED = [
    ('HormonalBus', '(num_signals=32, event_capacity=4096)', 'Lock-free hormonal signalling bus. `inject`/`secrete` are O(popcount) and\nrelease the GIL; `sense` reads the current concentration for a channel mask.'),
    ('HormonalBus.inject', '($self, signal)', 'Inject a typed `HormonalSignal` (the primary API).'),
    ('HormonalBus.secrete', '($self, flags, intensity)', 'Raw injection by `(flags, intensity)` — the microsecond hot path.'),
    ('HormonalBus.sense', '($self, mask)', 'Current summed concentration across every channel in `mask`.'),
    ('HormonalBus.concentration', '($self, signal_bit)', 'Concentration of a single channel bit.'),
    ('HormonalBus.tick', '($self, decay)', 'Multiplicative decay/dissipation of every channel (temporal homeostasis).'),
    ('HormonalBus.snapshot', '($self)', None),
    ('HormonalBus.drain_events', '($self, max)', 'Drain up to `max` buffered signal events as `(flags, intensity)` pairs.'),
    ('HormonalBus.stats', '($self)', None),
    ('HormonalSignal', '(flags, intensity=1.0)', 'A single hormonal signal: bitwise channel `flags` (`u32`) + `intensity` (`f32`).'),
    ('ContextApoptosis', '(half_life=2.0, safe_threshold=0.35, capacity=256, state_capacity=64)', 'A self-dehydrating context window. Insert blocks, then run `dehydrate` cycles;\neach cycle halves oxygen over `half_life` and purges anything below the\n`safe_threshold` (durable classes are reinforced and survive).'),
    ('ContextApoptosis.set_purpose', '($self, text)', 'Set (or clear, with `None`) the purpose contract — the stable header\nrendered above the history. Keep it byte-identical between calls so it\nstays inside a provider prompt-cache prefix.'),
    ('ContextApoptosis.note_state', '($self, fact)', 'Append a durable fact/decision to the consolidated STATE ledger.\nDeduplicated by content hash; oldest entries roll off past capacity.'),
    ('ContextApoptosis.state_entries', '($self)', 'The current STATE ledger entries, oldest first.'),
    ('ContextApoptosis.insert', '($self, content, signal=0, oxygen=...)', 'Insert a context block. `oxygen < 0` (default) → auto metabolic weight.'),
    ('ContextApoptosis.dehydrate', '($self, reinforce_boost=0.5, absorb=False)', 'One half-life decay cycle → returns the number of purged blocks. Durable\nclasses are reinforced by `reinforce_boost`; everything else decays by\n`2^(-1/half_life)` and is purged in place if it drops below the threshold.\n\nWith `absorb=True`, purged USER/ASSISTANT cells leave a one-line digest\nin the STATE ledger instead of vanishing without trace (TOOL/THINKING\nballast is still dropped silently — it is noise by definition).'),
    ('ContextApoptosis.active_context', '($self)', None),
    ('ContextApoptosis.render', '($self)', 'The dehydrated context, newline-joined, ready to dispatch. Layout is\ncache-friendly: [purpose contract (stable)] + [STATE ledger] + [survivors].'),
    ('ContextApoptosis.active_tokens', '($self)', None),
    ('ContextApoptosis.inserted_tokens', '($self)', None),
    ('ContextApoptosis.reduction_ratio', '($self)', 'Fraction of inserted tokens reclaimed by apoptosis (0..1).'),
    ('dehydrate', '(messages, half_life=6.0, safe_threshold=0.35, stable_prefix=0)', 'Dehydrate a whole message history in a single pass (oldest → newest).\n\n`messages` is a list of `(content, signal_flags)`. Older, lower-value blocks\nare decayed by recency-weighted half-life and purged below `safe_threshold`;\ndurable classes (SYSTEM, FACT) always survive. Returns the surviving blocks\nplus audited savings and the pure-kernel latency in microseconds.\n\n`stable_prefix` is the cache-aware zone: the first N messages are kept\nverbatim no matter their class, so a provider prompt-cache prefix stays\nbyte-identical between calls. Apoptosis only acts on the mobile suffix.'),
    ('saturation_scan', '(text, window=8)', 'Detect input saturation: the fraction of the payload that is **repetition**.\n\nCognitive-DDoS, forged-log floods and jailbreak spam are highly repetitive —\nthey reuse the same phrases to exhaust the context window. This scores the\nfraction of duplicate `w`-token shingles (default 8): ~1.0 = a repetitive\nflood (RED ALERT), ~0.0 = natural, high-entropy text. Pure O(n), no\nallocation (shingles are hashed, not materialised), microsecond-scale.'),
    ('consolidation_gain', '(prefix_tokens, purgeable_tokens, calls_ahead=8, cache_read_ratio=0.1, cache_write_ratio=1.25)', 'Decide whether consolidating (rewriting) a provider-cached prefix pays off.\n\nRewriting a cached prefix purges `purgeable_tokens` of ballast but forfeits\nthe cache discount on the next call (a fresh cache write). Keeping it stale\nre-pays the cached read of the ballast on every future call. In input-token\nequivalents (uncached input = 1.0), over the next `calls_ahead` calls:\n\n  keep:        calls_ahead · prefix · read_ratio\n  consolidate: (prefix − purgeable) · write_ratio\n               + (calls_ahead − 1) · (prefix − purgeable) · read_ratio\n\nDefault ratios match current Anthropic pricing (cache read = 0.1× input,\ncache write = 1.25× input). Returns the net gain (positive → consolidate\nnow) plus the break-even number of calls.'),
    ('effort_gauge', '(text)', 'Gauge the reasoning effort a request deserves. Returns a dict:\n`score` (0..1), `tier` ("off" | "low" | "medium" | "high"),\n`budget_tokens` (0 | 1024 | 4096 | 16384) and the raw `signals`.'),
]


def resolve(dotted):
    obj = qm
    for part in dotted.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize("name, signature, doc", EXPECTED, ids=[row[0] for row in EXPECTED])
def test_text_signature_and_doc(name, signature, doc):
    obj = resolve(name)
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


@pytest.mark.parametrize("name", [row[0] for row in EXPECTED])
def test_inspect_signature_works(name):
    obj = resolve(name)
    sig = inspect.signature(obj)
    shown = str(sig)
    # Methods read through the class show their instance as a positional-only self.
    expected = dict((row[0], row[1]) for row in EXPECTED)[name].replace("$self", "self, /")
    # inspect shows the "no fixed default" marker of insert's oxygen as Ellipsis.
    expected = expected.replace("=...", "=Ellipsis")
    assert shown == expected


def test_help_shows_the_signature():
    # Newer interpreters wrap long signatures over several lines: compare without spaces.
    text = "".join(pydoc.render_doc(qm.consolidation_gain, renderer=pydoc.plaintext).split())
    assert "consolidation_gain(prefix_tokens,purgeable_tokens,calls_ahead=8," in text
    stats = "".join(pydoc.render_doc(qm.HormonalBus.stats, renderer=pydoc.plaintext).split())
    assert "stats(self,/)" in stats or "stats(self)" in stats
