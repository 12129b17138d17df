// Binds a call's positional and keyword arguments to a callable's parameters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

#include "convert.h"

namespace qm {

/// Static description of one callable's parameter list. Every parameter of this
/// module is positional-or-keyword; the first `required` have no default.
/// Upper bound on the parameters of any callable of this module.
inline constexpr int kMaxParams = 8;

struct ParamSpec {
    const char* display;       // "HormonalBus.inject()", "dehydrate()"
    const char* const* names;  // parameter names in binding order
    int count;
    int required;
};

/// Fills `slots[0..spec.count)` with borrowed references (nullptr = not given).
/// Returns false with TypeError set when the call does not fit the parameters.
bool bind(const ParamSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots) noexcept;

/// The bound arguments of one call, indexed by parameter (nullptr = not given).
/// Positional arguments are borrowed from the immutable argument tuple. Keyword
/// arguments are held strongly until the call returns: a C caller may pass a
/// dict of its own that a conversion hook (`__index__`, `__float__`, `__iter__`)
/// then clears, and the arguments converted after that hook must outlive it.
template <int N>
class BoundArgs {
    static_assert(N > 0 && N <= kMaxParams);

public:
    BoundArgs() noexcept = default;
    BoundArgs(const BoundArgs&) = delete;
    BoundArgs& operator=(const BoundArgs&) = delete;
    ~BoundArgs() {
        if (!owned_) return;
        for (PyObject* slot : slots_) Py_XDECREF(slot);
    }

    /// Binds `args`/`kwargs` to `spec`; false with TypeError set on a mismatch.
    bool bind(const ParamSpec& spec, PyObject* args, PyObject* kwargs) noexcept {
        spec_ = &spec;
        if (!qm::bind(spec, args, kwargs, slots_)) return false;
        if (kwargs != nullptr) {
            for (PyObject* slot : slots_) Py_XINCREF(slot);
            owned_ = true;
        }
        return true;
    }

    PyObject* operator[](int index) const noexcept { return slots_[index]; }

    /// Argument I converted with `convert`. The note of a failure names parameter
    /// I as the table spells it: a binding never writes a parameter's name.
    template <int I, class F>
    auto get(F&& convert) const -> decltype(convert(std::declval<PyObject*>())) {
        static_assert(I >= 0 && I < N);
        return arg(spec_->names[I], slots_[I], convert);
    }

    /// As `get`, but an argument left out yields `fallback` without a conversion.
    template <int I, class F, class T>
    T get_or(F&& convert, T fallback) const {
        static_assert(I >= 0 && I < N);
        return arg_or(spec_->names[I], slots_[I], convert, fallback);
    }

private:
    const ParamSpec* spec_ = nullptr;
    PyObject* slots_[N] = {};
    bool owned_ = false;
};

/// Whether the text signature on the first line of `doc` ("f(a, b=1)", with an
/// optional leading "$self") names exactly `spec`'s parameters, in order, with
/// defaults on all but the first `spec.required`. Evaluated at compile time, so a
/// docstring and the binder that serves it cannot drift apart.
constexpr bool signature_matches(const char* doc, const ParamSpec& spec) {
    // Plain index loops: sanitizer builds turn the null checks inside the
    // standard library's search functions into non-constant expressions.
    size_t i = 0;
    while (doc[i] != '\0' && doc[i] != '(' && doc[i] != '\n') ++i;
    if (doc[i] != '(') return false;
    ++i;
    int index = 0;
    while (doc[i] != ')') {
        if (doc[i] == '\0' || doc[i] == '\n') return false;
        const size_t item = i;
        while (doc[i] != ',' && doc[i] != ')' && doc[i] != '=' && doc[i] != '\0') ++i;
        const size_t name_end = i;
        const bool has_default = doc[i] == '=';
        while (doc[i] != ',' && doc[i] != ')' && doc[i] != '\0') ++i;
        if (doc[i] == ',') i += doc[i + 1] == ' ' ? 2 : 1;
        const bool is_self = name_end - item == 5 && doc[item] == '$';
        if (is_self) continue;
        if (index >= spec.count) return false;
        const char* name = spec.names[index];
        size_t k = 0;
        while (item + k < name_end && name[k] != '\0' && doc[item + k] == name[k]) ++k;
        if (item + k != name_end || name[k] != '\0') return false;
        if (has_default != (index >= spec.required)) return false;
        ++index;
    }
    return index == spec.count;
}

/// A method-table entry. The calling convention follows from the entry point's
/// type, and entry points must be noexcept: no C++ exception may reach the
/// interpreter. This is the one place that casts to PyCFunction.
inline PyMethodDef method_def(const char* name,
                              PyObject* (*entry)(PyObject*, PyObject*, PyObject*) noexcept,
                              const char* doc) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
            METH_VARARGS | METH_KEYWORDS, doc};
}

inline PyMethodDef method_def(const char* name, PyObject* (*entry)(PyObject*, PyObject*) noexcept,
                              const char* doc) noexcept {
    return {name, entry, METH_NOARGS, doc};
}

/// The entry that ends a method table.
inline constexpr PyMethodDef kMethodsEnd = {nullptr, nullptr, 0, nullptr};

/// Declares a parameter list: `QM_PARAMS(kSpec, "f()", 1, "a", "b")`.
#define QM_PARAMS(id, display, required, ...)                                    \
    constexpr const char* id##_names[] = {__VA_ARGS__};                          \
    constexpr ::qm::ParamSpec id{display, id##_names,                             \
                                 static_cast<int>(std::size(id##_names)), required}

}  // namespace qm
