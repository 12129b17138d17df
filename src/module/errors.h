// Error reporting at the Python boundary: the panic exception, the one guard that
// keeps C++ exceptions out of the interpreter, and the shared message forms.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>

namespace qm {

/// Thrown when a Python error is already set and the call must unwind.
struct PyErrorSet {};

/// An internal fault; reaches Python as PanicException with this message.
class Panic : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Throws PyErrorSet when `failed`: for C API calls that have set a Python error.
inline void throw_if_failed(bool failed) {
    if (failed) throw PyErrorSet{};
}

/// The process-wide PanicException type, created on first need (borrowed).
PyObject* panic_exception_type() noexcept;

/// Translates the exception in flight into a Python error. Call only from a catch.
void set_error_from_current_exception() noexcept;

/// Runs `body` and turns anything it throws into a Python error; `fail` is the
/// value the interpreter expects on failure (nullptr, -1, ...).
template <class R, class F>
inline R guard(R fail, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return fail;
    }
}

/// The `__qualname__` of an object's type, or the stand-in text when unreadable.
std::string type_qualname(PyObject* obj);

/// Sets TypeError "'X' object is not an instance of 'expected'" (or the None form).
[[gnu::cold]] void set_not_instance_error(PyObject* obj, const char* expected);

/// Adds the note "while processing '{param}'" to the pending exception, if it can.
[[gnu::cold]] void add_processing_note(const char* param) noexcept;

}  // namespace qm
