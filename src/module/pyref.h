// Owning handle for a strong Python reference, so every path releases it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qm {

/// A strong reference that is released when the handle goes out of scope.
class Ref {
public:
    Ref() noexcept = default;
    /// Takes ownership of a new reference (may be null).
    explicit Ref(PyObject* owned) noexcept : obj_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    /// Takes a new strong reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    /// Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace qm
