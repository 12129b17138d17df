// Layout, creation and destruction of the instances of the module's classes, and
// the cached creation of their heap types.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>

#include "access.h"
#include "errors.h"
#include "pyref.h"

namespace qm {

/// A Python object carrying native `State` and the access counter of its calls.
template <class State>
struct Instance {
    PyObject_HEAD
    AccessCounter access;
    State state;
};

template <class State>
inline Instance<State>* as_instance(PyObject* self) noexcept {
    return reinterpret_cast<Instance<State>*>(self);
}

/// Creates the instance through object's constructor and moves `state` in.
template <class State>
PyObject* new_instance(PyTypeObject* type, State&& state) {
    static_assert(std::is_nothrow_move_constructible_v<State>,
                  "the state is moved in after the object exists and must not throw");
    auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    Ref empty(PyTuple_New(0));
    throw_if_failed(!empty);
    Ref self(object_new(type, empty.get(), nullptr));
    throw_if_failed(!self);
    auto* instance = as_instance<State>(self.get());
    new (&instance->access) AccessCounter();
    new (&instance->state) State(std::move(state));
    return self.release();
}

/// tp_dealloc: drops the native state, frees the object, releases the heap type.
template <class State>
void dealloc_instance(PyObject* self) noexcept {
    auto* instance = as_instance<State>(self);
    instance->state.~State();
    instance->access.~AccessCounter();
    PyTypeObject* type = Py_TYPE(self);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);
}

/// Runs a method body under shared access; binding must already have happened.
template <class State, class F>
PyObject* with_shared_access(PyObject* self, F&& body) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* instance = as_instance<State>(self);
        SharedAccess access(instance->access);
        return body(instance->state).release();
    });
}

/// The PyType_Spec of a class whose instances carry `State`: fixed size, no subclassing.
template <class State>
PyType_Spec instance_spec(const char* qualified_name, PyType_Slot* slots) noexcept {
    return {qualified_name, static_cast<int>(sizeof(Instance<State>)), 0, Py_TPFLAGS_DEFAULT, slots};
}

/// Creates the type from `spec` on first use and keeps it for the process.
/// Returns a borrowed reference, or nullptr with an error naming the class.
PyTypeObject* cached_type(PyTypeObject*& cache, PyType_Spec& spec, const char* class_name) noexcept;

}  // namespace qm
