// Python entry of effort_gauge.
#include "text/effort_gauge.h"
#include "binding.h"
#include "convert.h"
#include "registry.h"
#include "results.h"

namespace qm::doc {

// The body only: `docstring` writes the text signature above it from the table.
inline constexpr char kEffortGauge[] =
    "Gauge the reasoning effort a request deserves. Returns a dict:\n"
    "`score` (0..1), `tier` (\"off\" | \"low\" | \"medium\" | \"high\"),\n"
    "`budget_tokens` (0 | 1024 | 4096 | 16384) and the raw `signals`.";

}  // namespace qm::doc

namespace qm {
namespace {

constexpr auto kParams = params("effort_gauge()", param("text", to_text));

/// Binds and converts `text`, runs the kernel, builds the result.
PyObject* call(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return with_args(args, kwargs, [](const Args<kParams>& a) {
        const std::string_view text = a.get<"text">();

        const EffortGauge g = effort_gauge(text);
        const EffortSignals& s = g.signals;

        DictBuilder signals;
        signals.set("words", py_u64(s.words));
        signals.set("len_score", py_f64(s.len_score));
        signals.set("hard_hits", py_u64(s.hard_hits));
        signals.set("constraint_hits", py_u64(s.constraint_hits));
        signals.set("code_hits", py_u64(s.code_hits));
        signals.set("digit_ratio", py_f64(s.digit_ratio));
        signals.set("novelty", py_f64(s.novelty));
        signals.set("trivial_hits", py_u64(s.trivial_hits));

        DictBuilder result;
        result.set("score", py_f64(g.score));
        result.set("tier", py_text(effort_tier_name(g.tier)));
        result.set("budget_tokens", py_u64(g.budget_tokens));
        result.set("signals", signals.finish());
        return result.finish().release();
    });
}

}  // namespace

PyMethodDef effort_gauge_def = method_def("effort_gauge", call,
                                          docstring<kParams, doc::kEffortGauge>);

}  // namespace qm
