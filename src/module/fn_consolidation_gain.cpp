// Python entry of consolidation_gain.
#include "context/consolidation_gain.h"
#include "binding.h"
#include "convert.h"
#include "docstrings.h"
#include "registry.h"
#include "results.h"

namespace qm {
namespace {

QM_PARAMS(kParams, "consolidation_gain()", 2, "prefix_tokens", "purgeable_tokens", "calls_ahead",
          "cache_read_ratio", "cache_write_ratio");

PyObject* call(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    BoundArgs<kParams.count> slots;
    if (!slots.bind(kParams, args, kwargs)) return nullptr;
    return guard<PyObject*>(nullptr, [&] {
        const uint64_t prefix = arg("prefix_tokens", slots[0], to_u64);
        const uint64_t purgeable = arg("purgeable_tokens", slots[1], to_u64);
        const uint32_t calls = arg_or("calls_ahead", slots[2], to_u32, uint32_t{8});
        const double read = arg_or("cache_read_ratio", slots[3], to_f64, 0.1);
        const double write = arg_or("cache_write_ratio", slots[4], to_f64, 1.25);

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

PyMethodDef consolidation_gain_def = {
    "consolidation_gain",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)),
    METH_VARARGS | METH_KEYWORDS,
    doc::kConsolidationGain,
};

}  // namespace qm
