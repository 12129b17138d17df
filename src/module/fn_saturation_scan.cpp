// Python entry of saturation_scan.
#include "text/saturation_scan.h"
#include "binding.h"
#include "convert.h"
#include "registry.h"
#include "results.h"

namespace qm::doc {

// The body only: `docstring` writes the text signature above it from the table.
inline constexpr char kSaturationScan[] =
    "Detect input saturation: the fraction of the payload that is **repetition**.\n"
    "\n"
    "Cognitive-DDoS, forged-log floods and jailbreak spam are highly repetitive —\n"
    "they reuse the same phrases to exhaust the context window. This scores the\n"
    "fraction of duplicate `w`-token shingles (default 8): ~1.0 = a repetitive\n"
    "flood (RED ALERT), ~0.0 = natural, high-entropy text. Pure O(n), no\n"
    "allocation (shingles are hashed, not materialised), microsecond-scale.";

}  // namespace qm::doc

namespace qm {
namespace {

constexpr auto kParams =
    params("saturation_scan()", param("text", to_text), param("window", to_u64) = uint64_t{8});

/// Binds and converts `text`, `window`, runs the kernel, builds the result.
PyObject* call(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return with_args(args, kwargs, [](const Args<kParams>& a) {
        // The view stays valid throughout: the interpreter lock is held and the
        // argument tuple keeps the str alive.
        const std::string_view text = a.get<"text">();
        const uint64_t window = a.get<"window">();
        return py_f64(saturation_scan(text, window)).release();
    });
}

}  // namespace

PyMethodDef saturation_scan_def = method_def("saturation_scan", call,
                                             docstring<kParams, doc::kSaturationScan>);

}  // namespace qm
