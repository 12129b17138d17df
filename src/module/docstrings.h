// Docstrings of every class and callable, in text-signature form: the first line
// is what the interpreter publishes as __text_signature__, the rest is __doc__.
#pragma once

namespace qm::doc {

inline constexpr char kHormonalBus[] =
    "HormonalBus(num_signals=32, event_capacity=4096)\n"
    "--\n"
    "\n"
    "Lock-free hormonal signalling bus. `inject`/`secrete` are O(popcount) and\n"
    "release the GIL; `sense` reads the current concentration for a channel mask.";

inline constexpr char kHormonalBus_inject[] =
    "inject($self, signal)\n"
    "--\n"
    "\n"
    "Inject a typed `HormonalSignal` (the primary API).";

inline constexpr char kHormonalBus_secrete[] =
    "secrete($self, flags, intensity)\n"
    "--\n"
    "\n"
    "Raw injection by `(flags, intensity)` — the microsecond hot path.";

inline constexpr char kHormonalBus_sense[] =
    "sense($self, mask)\n"
    "--\n"
    "\n"
    "Current summed concentration across every channel in `mask`.";

inline constexpr char kHormonalBus_concentration[] =
    "concentration($self, signal_bit)\n"
    "--\n"
    "\n"
    "Concentration of a single channel bit.";

inline constexpr char kHormonalBus_tick[] =
    "tick($self, decay)\n"
    "--\n"
    "\n"
    "Multiplicative decay/dissipation of every channel (temporal homeostasis).";

inline constexpr char kHormonalBus_snapshot[] =
    "snapshot($self)\n"
    "--\n"
    "\n"
    "";

inline constexpr char kHormonalBus_drain_events[] =
    "drain_events($self, max)\n"
    "--\n"
    "\n"
    "Drain up to `max` buffered signal events as `(flags, intensity)` pairs.";

inline constexpr char kHormonalBus_stats[] =
    "stats($self)\n"
    "--\n"
    "\n"
    "";

inline constexpr char kHormonalSignal[] =
    "HormonalSignal(flags, intensity=1.0)\n"
    "--\n"
    "\n"
    "A single hormonal signal: bitwise channel `flags` (`u32`) + `intensity` (`f32`).";

inline constexpr char kContextApoptosis[] =
    "ContextApoptosis(half_life=2.0, safe_threshold=0.35, capacity=256, state_capacity=64)\n"
    "--\n"
    "\n"
    "A self-dehydrating context window. Insert blocks, then run `dehydrate` cycles;\n"
    "each cycle halves oxygen over `half_life` and purges anything below the\n"
    "`safe_threshold` (durable classes are reinforced and survive).";

inline constexpr char kContextApoptosis_set_purpose[] =
    "set_purpose($self, text)\n"
    "--\n"
    "\n"
    "Set (or clear, with `None`) the purpose contract — the stable header\n"
    "rendered above the history. Keep it byte-identical between calls so it\n"
    "stays inside a provider prompt-cache prefix.";

inline constexpr char kContextApoptosis_note_state[] =
    "note_state($self, fact)\n"
    "--\n"
    "\n"
    "Append a durable fact/decision to the consolidated STATE ledger.\n"
    "Deduplicated by content hash; oldest entries roll off past capacity.";

inline constexpr char kContextApoptosis_state_entries[] =
    "state_entries($self)\n"
    "--\n"
    "\n"
    "The current STATE ledger entries, oldest first.";

inline constexpr char kContextApoptosis_insert[] =
    "insert($self, content, signal=0, oxygen=...)\n"
    "--\n"
    "\n"
    "Insert a context block. `oxygen < 0` (default) → auto metabolic weight.";

inline constexpr char kContextApoptosis_dehydrate[] =
    "dehydrate($self, reinforce_boost=0.5, absorb=False)\n"
    "--\n"
    "\n"
    "One half-life decay cycle → returns the number of purged blocks. Durable\n"
    "classes are reinforced by `reinforce_boost`; everything else decays by\n"
    "`2^(-1/half_life)` and is purged in place if it drops below the threshold.\n"
    "\n"
    "With `absorb=True`, purged USER/ASSISTANT cells leave a one-line digest\n"
    "in the STATE ledger instead of vanishing without trace (TOOL/THINKING\n"
    "ballast is still dropped silently — it is noise by definition).";

inline constexpr char kContextApoptosis_active_context[] =
    "active_context($self)\n"
    "--\n"
    "\n"
    "";

inline constexpr char kContextApoptosis_render[] =
    "render($self)\n"
    "--\n"
    "\n"
    "The dehydrated context, newline-joined, ready to dispatch. Layout is\n"
    "cache-friendly: [purpose contract (stable)] + [STATE ledger] + [survivors].";

inline constexpr char kContextApoptosis_active_tokens[] =
    "active_tokens($self)\n"
    "--\n"
    "\n"
    "";

inline constexpr char kContextApoptosis_inserted_tokens[] =
    "inserted_tokens($self)\n"
    "--\n"
    "\n"
    "";

inline constexpr char kContextApoptosis_reduction_ratio[] =
    "reduction_ratio($self)\n"
    "--\n"
    "\n"
    "Fraction of inserted tokens reclaimed by apoptosis (0..1).";

inline constexpr char kDehydrate[] =
    "dehydrate(messages, half_life=6.0, safe_threshold=0.35, stable_prefix=0)\n"
    "--\n"
    "\n"
    "Dehydrate a whole message history in a single pass (oldest → newest).\n"
    "\n"
    "`messages` is a list of `(content, signal_flags)`. Older, lower-value blocks\n"
    "are decayed by recency-weighted half-life and purged below `safe_threshold`;\n"
    "durable classes (SYSTEM, FACT) always survive. Returns the surviving blocks\n"
    "plus audited savings and the pure-kernel latency in microseconds.\n"
    "\n"
    "`stable_prefix` is the cache-aware zone: the first N messages are kept\n"
    "verbatim no matter their class, so a provider prompt-cache prefix stays\n"
    "byte-identical between calls. Apoptosis only acts on the mobile suffix.";

inline constexpr char kSaturationScan[] =
    "saturation_scan(text, window=8)\n"
    "--\n"
    "\n"
    "Detect input saturation: the fraction of the payload that is **repetition**.\n"
    "\n"
    "Cognitive-DDoS, forged-log floods and jailbreak spam are highly repetitive —\n"
    "they reuse the same phrases to exhaust the context window. This scores the\n"
    "fraction of duplicate `w`-token shingles (default 8): ~1.0 = a repetitive\n"
    "flood (RED ALERT), ~0.0 = natural, high-entropy text. Pure O(n), no\n"
    "allocation (shingles are hashed, not materialised), microsecond-scale.";

inline constexpr char kConsolidationGain[] =
    "consolidation_gain(prefix_tokens, purgeable_tokens, calls_ahead=8, cache_read_ratio=0.1, cache_write_ratio=1.25)\n"
    "--\n"
    "\n"
    "Decide whether consolidating (rewriting) a provider-cached prefix pays off.\n"
    "\n"
    "Rewriting a cached prefix purges `purgeable_tokens` of ballast but forfeits\n"
    "the cache discount on the next call (a fresh cache write). Keeping it stale\n"
    "re-pays the cached read of the ballast on every future call. In input-token\n"
    "equivalents (uncached input = 1.0), over the next `calls_ahead` calls:\n"
    "\n"
    "  keep:        calls_ahead · prefix · read_ratio\n"
    "  consolidate: (prefix − purgeable) · write_ratio\n"
    "               + (calls_ahead − 1) · (prefix − purgeable) · read_ratio\n"
    "\n"
    "Default ratios match current Anthropic pricing (cache read = 0.1× input,\n"
    "cache write = 1.25× input). Returns the net gain (positive → consolidate\n"
    "now) plus the break-even number of calls.";

inline constexpr char kEffortGauge[] =
    "effort_gauge(text)\n"
    "--\n"
    "\n"
    "Gauge the reasoning effort a request deserves. Returns a dict:\n"
    "`score` (0..1), `tier` (\"off\" | \"low\" | \"medium\" | \"high\"),\n"
    "`budget_tokens` (0 | 1024 | 4096 | 16384) and the raw `signals`.";

}  // namespace qm::doc

namespace qm::doc {

// The definition's docstring is replaced by kModule during the exec step.
inline constexpr char kModuleDefinition[] = "The native module — `import quorvex_micro`.";
inline constexpr char kModule[] = "Quorvex Micro-Kernel — lock-free hormonal bus + context apoptosis.";
inline constexpr char kVersion[] = "1.1.0";

inline constexpr char kPanicException[] =
    "Raised when native code called from Python fails unexpectedly.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it normally propagates all the way up and ends the interpreter instead\n"
    "of being swallowed by a plain `except Exception`.";

}  // namespace qm::doc
