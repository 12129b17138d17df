// What the exec step registers, in the order the module lists it: one accessor
// per class and one method definition per module function, each defined in the
// binding file of its callable. Adding a callable adds one line here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// X(Python name, accessor) for each class.
#define QM_MODULE_CLASSES(X)                   \
    X(HormonalBus, hormonal_bus_type)          \
    X(HormonalSignal, hormonal_signal_type)    \
    X(ContextApoptosis, context_apoptosis_type)

// X(Python name) for each function; its definition is `<name>_def`.
#define QM_MODULE_FUNCTIONS(X) \
    X(dehydrate)               \
    X(saturation_scan)         \
    X(consolidation_gain)      \
    X(effort_gauge)

namespace qm {

// Class accessors create the type on first use and cache it for the process.
// They return a borrowed reference, or nullptr with an error set.
#define QM_DECLARE_CLASS(name, accessor) PyTypeObject* accessor() noexcept;
QM_MODULE_CLASSES(QM_DECLARE_CLASS)
#undef QM_DECLARE_CLASS

#define QM_DECLARE_FUNCTION(name) extern PyMethodDef name##_def;
QM_MODULE_FUNCTIONS(QM_DECLARE_FUNCTION)
#undef QM_DECLARE_FUNCTION

}  // namespace qm
