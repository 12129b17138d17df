// Binds a call's positional and keyword arguments to a callable's parameters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

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

/// Declares a parameter list: `QM_PARAMS(kSpec, "f()", 1, "a", "b")`.
#define QM_PARAMS(id, display, required, ...)                                    \
    constexpr const char* id##_names[] = {__VA_ARGS__};                          \
    constexpr ::qm::ParamSpec id{display, id##_names,                             \
                                 static_cast<int>(std::size(id##_names)), required}

}  // namespace qm
