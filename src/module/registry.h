// What the exec step registers: one accessor per class and one method definition
// per module function, each defined beside the code that implements it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qm {

// Class accessors create the type on first use and cache it for the process.
// They return a borrowed reference, or nullptr with an error set.
PyTypeObject* hormonal_bus_type() noexcept;
PyTypeObject* hormonal_signal_type() noexcept;
PyTypeObject* context_apoptosis_type() noexcept;

extern PyMethodDef dehydrate_def;
extern PyMethodDef saturation_scan_def;
extern PyMethodDef consolidation_gain_def;
extern PyMethodDef effort_gauge_def;

}  // namespace qm
