// Creation of the module's heap types.
#include "instance.h"

#include "messages.h"

namespace qm {

PyTypeObject* cached_type(PyTypeObject*& cache, PyType_Spec& spec, const char* class_name) noexcept {
    if (cache != nullptr) return cache;
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) {
        PyObject *exc_type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&exc_type, &value, &traceback);
        PyErr_Format(PyExc_RuntimeError, msg::kNoTypeObject, class_name,
                     value != nullptr ? value : Py_None);
        Py_XDECREF(exc_type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return nullptr;
    }
    // Kept for the life of the process: constructors compare against it.
    cache = reinterpret_cast<PyTypeObject*>(type);
    return cache;
}

}  // namespace qm
