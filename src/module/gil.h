// Runs native work with the interpreter lock released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qm {

/// Releases the GIL for the scope; retaken on every exit, exceptions included,
/// so a fault inside is reported with the lock held. The body must not touch
/// any Python object.
class GilReleased {
public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    PyThreadState* state_;
};

/// Calls `work` without the GIL and returns its result.
template <class F>
inline decltype(auto) without_gil(F&& work) {
    GilReleased released;
    return std::forward<F>(work)();
}

}  // namespace qm
