// Construction of result objects: each helper returns a new reference or throws
// PyErrorSet with the interpreter's error set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>
#include <utility>

#include "errors.h"
#include "pyref.h"

namespace qm {

inline Ref py_u64(uint64_t value) {
    Ref obj(PyLong_FromUnsignedLongLong(value));
    throw_if_failed(!obj);
    return obj;
}

inline Ref py_f64(double value) {
    Ref obj(PyFloat_FromDouble(value));
    throw_if_failed(!obj);
    return obj;
}

inline Ref py_bool(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

inline Ref py_none() { return Ref::borrow(Py_None); }

inline Ref py_text(std::string_view utf8) {
    Ref obj(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
    throw_if_failed(!obj);
    return obj;
}

/// A list of exactly `size` slots, filled with `set`.
class ListBuilder {
public:
    explicit ListBuilder(size_t size) : list_(PyList_New(static_cast<Py_ssize_t>(size))) {
        throw_if_failed(!list_);
    }
    /// Stores `item` at `index`, taking its reference.
    void set(size_t index, Ref item) {
        throw_if_failed(PyList_SetItem(list_.get(), static_cast<Py_ssize_t>(index), item.release()) < 0);
    }
    Ref finish() { return std::move(list_); }

private:
    Ref list_;
};

/// A dict filled in the order of the `set` calls (the documented key order).
class DictBuilder {
public:
    DictBuilder() : dict_(PyDict_New()) { throw_if_failed(!dict_); }
    void set(const char* key, Ref value) {
        throw_if_failed(PyDict_SetItemString(dict_.get(), key, value.get()) < 0);
    }
    Ref finish() { return std::move(dict_); }

private:
    Ref dict_;
};

}  // namespace qm
