// Argument converters: integers, floats, text, booleans and message histories.
#include "convert.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>

#include "context/message_batch.h"
#include "messages.h"
#include "pyref.h"

namespace qm {

uint64_t to_u64(PyObject* obj) {
    unsigned long long value;
    // The exact type first: it needs no call to read the type's flags.
    if (Py_TYPE(obj) == &PyLong_Type || PyLong_Check(obj)) {
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        // Integer-like objects go through __index__; float and str are refused here.
        Ref index(PyNumber_Index(obj));
        throw_if_failed(!index);
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorSet{};
    return value;
}

uint32_t to_u32(PyObject* obj) {
    uint64_t value = to_u64(obj);
    if (value > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, msg::kOutOfRange);
        throw PyErrorSet{};
    }
    return static_cast<uint32_t>(value);
}

double to_f64(PyObject* obj) {
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
    return value;
}

float narrow_to_f32(double value) noexcept {
    // Halfway between FLT_MAX and the next power of two: from here on, round to
    // nearest gives infinity. Casting such a double directly is undefined in C++.
    constexpr double kOverflow = 0x1.ffffffp127;
    if (value >= kOverflow) return HUGE_VALF;
    if (value <= -kOverflow) return -HUGE_VALF;
    return static_cast<float>(value);
}

float to_f32(PyObject* obj) { return narrow_to_f32(to_f64(obj)); }

namespace {

[[gnu::cold, gnu::noinline]] bool numpy_bool(PyObject* obj) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Ref module(PyObject_GetAttrString(type, "__module__"));
    Ref name(module ? PyObject_GetAttrString(type, "__name__") : nullptr);
    bool is_numpy = false;
    if (module && name && PyUnicode_Check(module.get()) && PyUnicode_Check(name.get())) {
        is_numpy = PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                   (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                    PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
    }
    PyErr_Clear();
    if (!is_numpy) {
        set_not_instance_error(obj, "bool");
        throw PyErrorSet{};
    }
    Ref method(PyObject_GetAttrString(type, "__bool__"));
    if (!method) {
        PyErr_Clear();
        Ref type_text(PyObject_Str(type));
        throw_if_failed(!type_text);
        PyErr_Format(PyExc_TypeError, msg::kNoBoolConversion, type_text.get());
        throw PyErrorSet{};
    }
    Ref result(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
    throw_if_failed(!result);
    if (result.get() == Py_True) return true;
    if (result.get() == Py_False) return false;
    set_not_instance_error(result.get(), "bool");
    throw PyErrorSet{};
}

}  // namespace

bool to_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    return numpy_bool(obj);
}

std::string_view to_text(PyObject* obj) {
    if (Py_TYPE(obj) != &PyUnicode_Type && !PyUnicode_Check(obj)) {
        set_not_instance_error(obj, "str");
        throw PyErrorSet{};
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    throw_if_failed(utf8 == nullptr);
    return std::string_view(utf8, static_cast<size_t>(size));
}

namespace {

void add_message(PyObject* item, MessageBatch& out) {
    if (Py_TYPE(item) != &PyTuple_Type && !PyTuple_Check(item)) {
        set_not_instance_error(item, "tuple");
        throw PyErrorSet{};
    }
    Py_ssize_t length = PyTuple_Size(item);
    if (length != 2) {
        PyErr_Format(PyExc_ValueError, msg::kTupleLength, length);
        throw PyErrorSet{};
    }
    std::string_view text = to_text(PyTuple_GetItem(item, 0));
    uint32_t flags = to_u32(PyTuple_GetItem(item, 1));
    out.add(text, flags);
}

/// The items an exact list's or tuple's iterator would yield, without the iterator:
/// index k while k is below the current length, re-read after every item because a
/// flags hook (__index__) may grow or shrink the list meanwhile.
void add_messages_by_index(PyObject* obj, MessageBatch& out) {
    const bool is_list = Py_TYPE(obj) == &PyList_Type;
    for (Py_ssize_t k = 0;; ++k) {
        const Py_ssize_t length = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
        if (k >= length) return;
        // Held for the whole conversion: a hook may drop the list's own reference.
        Ref item = Ref::borrow(is_list ? PyList_GetItem(obj, k) : PyTuple_GetItem(obj, k));
        throw_if_failed(!item);
        add_message(item.get(), out);
    }
}

}  // namespace

void to_message_batch(PyObject* obj, MessageBatch& out) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, msg::kStrToVec);
        throw PyErrorSet{};
    }
    if (!PySequence_Check(obj)) {
        set_not_instance_error(obj, "Sequence");
        throw PyErrorSet{};
    }
    // The reported length only sizes the reservation; iteration decides the content.
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        // A missing or broken __len__ only costs the reservation, but an interrupt
        // or memory exhaustion raised from it must not be swallowed.
        const bool ordinary = PyErr_ExceptionMatches(PyExc_Exception) &&
                              !PyErr_ExceptionMatches(PyExc_MemoryError);
        throw_if_failed(!ordinary);
        PyErr_Clear();
        hint = 0;
    }
    if (Py_TYPE(obj) == &PyList_Type || Py_TYPE(obj) == &PyTuple_Type) {
        // The length of an exact list or tuple is true, so the whole reservation
        // costs memory the caller already holds.
        out.reserve(static_cast<size_t>(hint));
        add_messages_by_index(obj, out);
        return;
    }
    // Capped, so that a lying __len__ cannot make us reserve gigabytes up front.
    constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 16;
    out.reserve(static_cast<size_t>(hint < kMaxReserve ? hint : kMaxReserve));
    Ref iter(PyObject_GetIter(obj));
    throw_if_failed(!iter);
    while (Ref item{PyIter_Next(iter.get())}) {
        add_message(item.get(), out);
    }
    throw_if_failed(PyErr_Occurred() != nullptr);
}

}  // namespace qm
