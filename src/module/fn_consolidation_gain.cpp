// Python entry of consolidation_gain.
#include "context/consolidation_gain.h"
#include "binding.h"
#include "convert.h"
#include "registry.h"
#include "results.h"

namespace qm::doc {

// The body only: `docstring` writes the text signature above it from the table.
inline constexpr char kConsolidationGain[] =
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

constexpr auto kParams = params("consolidation_gain()", param("prefix_tokens", to_u64),
                                param("purgeable_tokens", to_u64),
                                param("calls_ahead", to_u32) = uint32_t{8},
                                param("cache_read_ratio", to_f64) = 0.1,
                                param("cache_write_ratio", to_f64) = 1.25);

PyObject* call(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return with_args(args, kwargs, [](const Args<kParams>& a) {
        const uint64_t prefix = a.get<"prefix_tokens">();
        const uint64_t purgeable = a.get<"purgeable_tokens">();
        const uint32_t calls = a.get<"calls_ahead">();
        const double read = a.get<"cache_read_ratio">();
        const double write = a.get<"cache_write_ratio">();

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

PyMethodDef consolidation_gain_def = method_def("consolidation_gain", call,
                                                docstring<kParams, doc::kConsolidationGain>);

}  // namespace qm
