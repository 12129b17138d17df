// Binds a call's positional and keyword arguments to a callable's parameters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>

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
        if (!qm::bind(spec, args, kwargs, slots_)) return false;
        if (kwargs != nullptr) {
            for (PyObject* slot : slots_) Py_XINCREF(slot);
            owned_ = true;
        }
        return true;
    }

    PyObject* operator[](int index) const noexcept { return slots_[index]; }

private:
    PyObject* slots_[N] = {};
    bool owned_ = false;
};

/// Whether the text signature on the first line of `doc` ("f(a, b=1)", with an
/// optional leading "$self") names exactly `spec`'s parameters, in order, with
/// defaults on all but the first `spec.required`. Evaluated at compile time, so a
/// docstring and the binder that serves it cannot drift apart.
constexpr bool signature_matches(std::string_view doc, const ParamSpec& spec) {
    const std::string_view line = doc.substr(0, doc.find('\n'));
    const size_t open = line.find('(');
    const size_t close = line.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return false;
    }
    std::string_view rest = line.substr(open + 1, close - open - 1);
    int index = 0;
    while (!rest.empty()) {
        const size_t comma = rest.find(", ");
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 2);
        if (item == "$self") continue;
        const size_t equals = item.find('=');
        const bool has_default = equals != std::string_view::npos;
        if (index >= spec.count || item.substr(0, equals) != spec.names[index]) return false;
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
