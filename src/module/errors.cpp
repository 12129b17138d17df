// The panic exception and the translation of escaped C++ exceptions.
#include "errors.h"

#include "docstrings.h"
#include "messages.h"
#include "pyref.h"

namespace qm {

PyObject* panic_exception_type() noexcept {
    // One type per process: instances may travel between module objects.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("quorvex_micro.PanicException", doc::kPanicException,
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, msg::kNoExceptionSet);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more than it can ever represent.
        if (PyObject* panic = panic_exception_type()) PyErr_SetString(panic, msg::kCapacityOverflow);
    } catch (const std::exception& e) {
        if (PyObject* panic = panic_exception_type()) PyErr_SetString(panic, e.what());
    } catch (...) {
        if (PyObject* panic = panic_exception_type()) {
            PyErr_SetString(panic, msg::kUnknownNativeException);
        }
    }
}

std::string type_qualname(PyObject* obj) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(utf8, static_cast<size_t>(size));
        }
    }
    PyErr_Clear();
    return msg::kUnknownTypeName;
}

void set_not_instance_error(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, msg::kNoneNotInstance, expected);
        return;
    }
    std::string name = type_qualname(obj);
    PyErr_Format(PyExc_TypeError, msg::kNotInstance, name.c_str(), expected);
}

void add_processing_note(const char* param) noexcept {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        // Interpreters before 3.11 have no add_note; the error then goes out bare.
        PyObject* note = PyUnicode_FromFormat(msg::kProcessingNote, param);
        PyObject* res = note ? PyObject_CallMethod(value, "add_note", "O", note) : nullptr;
        Py_XDECREF(res);
        Py_XDECREF(note);
        if (res == nullptr) PyErr_Clear();
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    }
    PyErr_Restore(type, value, traceback);
}

}  // namespace qm
