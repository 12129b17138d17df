// What the bus needs from HormonalSignal objects: their type check and fields.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bus/hormonal_signal.h"

namespace qm {

/// `obj` itself when it is a HormonalSignal; otherwise throws PyErrorSet with
/// TypeError "'int' object is not an instance of 'HormonalSignal'".
PyObject* to_signal_object(PyObject* obj);

/// The fields of a HormonalSignal object, copied under shared access.
HormonalSignal signal_fields(PyObject* signal);

}  // namespace qm
