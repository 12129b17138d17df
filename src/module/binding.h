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

/// Strong references to the bound arguments for the rest of a call. The slots
/// borrow from the caller's keyword dict, and a C caller may pass a dict of its
/// own that a conversion hook (`__index__`, `__float__`, `__iter__`) then clears:
/// the arguments converted after that hook must outlive it. Positional arguments
/// live in the immutable argument tuple and need no pin, so without keywords
/// this does nothing. Needed by every callable with two or more parameters.
class PinnedArgs {
public:
    PinnedArgs(PyObject* kwargs, PyObject* const* slots, int count) noexcept
        : slots_(kwargs != nullptr ? slots : nullptr), count_(slots_ != nullptr ? count : 0) {
        for (int i = 0; i < count_; ++i) Py_XINCREF(slots_[i]);
    }
    ~PinnedArgs() {
        for (int i = 0; i < count_; ++i) Py_XDECREF(slots_[i]);
    }
    PinnedArgs(const PinnedArgs&) = delete;
    PinnedArgs& operator=(const PinnedArgs&) = delete;

private:
    PyObject* const* slots_;
    int count_;
};

/// Declares a parameter list: `QM_PARAMS(kSpec, "f()", 1, "a", "b")`.
#define QM_PARAMS(id, display, required, ...)                                    \
    constexpr const char* id##_names[] = {__VA_ARGS__};                          \
    constexpr ::qm::ParamSpec id{display, id##_names,                             \
                                 static_cast<int>(std::size(id##_names)), required}

}  // namespace qm
