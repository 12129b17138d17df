// Python entry of saturation_scan.
#include "text/saturation_scan.h"
#include "binding.h"
#include "convert.h"
#include "docstrings.h"
#include "registry.h"
#include "results.h"

namespace qm {
namespace {

QM_PARAMS(kParams, "saturation_scan()", 1, "text", "window");

/// Binds and converts `text`, `window`, runs the kernel, builds the result.
PyObject* call(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    BoundArgs<kParams.count> slots;
    if (!slots.bind(kParams, args, kwargs)) return nullptr;
    return guard<PyObject*>(nullptr, [&] {
        // The view stays valid throughout: the interpreter lock is held and the
        // argument tuple keeps the str alive.
        const std::string_view text = arg("text", slots[0], to_text);
        const uint64_t window = arg_or("window", slots[1], to_u64, uint64_t{8});
        return py_f64(saturation_scan(text, window)).release();
    });
}

}  // namespace

PyMethodDef saturation_scan_def = {
    "saturation_scan",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)),
    METH_VARARGS | METH_KEYWORDS,
    doc::kSaturationScan,
};

}  // namespace qm
