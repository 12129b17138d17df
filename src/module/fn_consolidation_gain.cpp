// Python entry of consolidation_gain.
#include "context/consolidation_gain.h"
#include "binding.h"
#include "convert.h"
#include "registry.h"
#include "results.h"

namespace qm::doc {

// The first line is what the interpreter publishes as __text_signature__.
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

}  // namespace qm::doc

namespace qm {
namespace {

QM_PARAMS(kParams, "consolidation_gain()", 2, "prefix_tokens", "purgeable_tokens", "calls_ahead",
          "cache_read_ratio", "cache_write_ratio");
static_assert(signature_matches(doc::kConsolidationGain, kParams));

PyObject* call(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    BoundArgs<kParams.count> slots;
    if (!slots.bind(kParams, args, kwargs)) return nullptr;
    return guard<PyObject*>(nullptr, [&] {
        const uint64_t prefix = slots.get<0>(to_u64);
        const uint64_t purgeable = slots.get<1>(to_u64);
        const uint32_t calls = slots.get_or<2>(to_u32, uint32_t{8});
        const double read = slots.get_or<3>(to_f64, 0.1);
        const double write = slots.get_or<4>(to_f64, 1.25);

        const ConsolidationGain g = consolidation_gain(prefix, purgeable, calls, read, write);

        DictBuilder result;
        result.set("consolidate", py_bool(g.consolidate));
        result.set("gain_token_equiv", py_f64(g.gain_token_equiv));
        result.set("cost_keep", py_f64(g.cost_keep));
        result.set("cost_consolidate", py_f64(g.cost_consolidate));
        result.set("break_even_calls", py_f64(g.break_even_calls));
        return result.finish().release();
    });
}

}  // namespace

PyMethodDef consolidation_gain_def = method_def("consolidation_gain", call, doc::kConsolidationGain);

}  // namespace qm
