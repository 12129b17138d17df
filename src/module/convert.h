// Conversion of bound arguments to native values, by the module's one set of rules.
// Every converter throws PyErrorSet with the Python error set; `arg` adds the note
// that names the parameter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>
#include <utility>

#include "errors.h"

namespace qm {

class MessageBatch;

uint64_t to_u64(PyObject* obj);
uint32_t to_u32(PyObject* obj);
double to_f64(PyObject* obj);
float to_f32(PyObject* obj);
bool to_bool(PyObject* obj);
/// A view of the str's UTF-8, valid while the object lives and the GIL is held.
std::string_view to_text(PyObject* obj);
/// A sequence (not a str) of (str, u32) tuples, copied into `out`.
void to_message_batch(PyObject* obj, MessageBatch& out);

/// Nearest single-precision value; out-of-range magnitudes become infinities.
float narrow_to_f32(double value) noexcept;

/// Converts `value` with `convert`, adding "while processing '{param}'" on failure.
/// `extra` goes to converters that fill storage of the caller's (a message batch).
template <class F, class... Extra>
inline auto arg(const char* param, PyObject* value, F&& convert, Extra&&... extra)
    -> decltype(convert(value, std::forward<Extra>(extra)...)) {
    try {
        return convert(value, std::forward<Extra>(extra)...);
    } catch (const PyErrorSet&) {
        add_processing_note(param);
        throw;
    }
}

/// Checks that `obj` is an instance of `type` (named `name` in the message).
inline PyObject* to_instance(PyObject* obj, PyTypeObject* type, const char* name) {
    if (PyObject_TypeCheck(obj, type)) return obj;
    set_not_instance_error(obj, name);
    throw PyErrorSet{};
}

}  // namespace qm
