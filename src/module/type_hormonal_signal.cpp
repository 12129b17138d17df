// Python type HormonalSignal: constructor, attributes and repr of a signal value.
#include "type_hormonal_signal.h"

#include "binding.h"
#include "convert.h"
#include "instance.h"
#include "messages.h"
#include "registry.h"
#include "results.h"

namespace qm::doc {

// The body only: `docstring` writes the text signature above it from the table.
inline constexpr char kHormonalSignal[] =
    "A single hormonal signal: bitwise channel `flags` (`u32`) + `intensity` (`f32`).";

}  // namespace qm::doc

namespace qm {
namespace {

using SignalObject = Instance<HormonalSignal>;

constexpr auto kNewParams = params("HormonalSignal.__new__()", param("flags", to_u32),
                                   param("intensity", to_f32) = 1.0f);

PyObject* signal_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return with_args(args, kwargs, [&](const Args<kNewParams>& a) {
        HormonalSignal signal;
        signal.flags = a.get<"flags">();
        signal.intensity = a.get<"intensity">();
        return new_instance(type, std::move(signal));
    });
}

PyObject* signal_repr_slot(PyObject* self) noexcept {
    return with_shared_access<HormonalSignal>(
        self, [](const HormonalSignal& signal) { return py_text(signal_repr(signal)); });
}

PyObject* get_flags(PyObject* self, void*) noexcept {
    return with_shared_access<HormonalSignal>(
        self, [](const HormonalSignal& signal) { return py_u64(signal.flags); });
}

PyObject* get_intensity(PyObject* self, void*) noexcept {
    return with_shared_access<HormonalSignal>(
        self, [](const HormonalSignal& signal) { return py_f64(signal.intensity); });
}

[[gnu::cold]] int refuse_delete() noexcept {
    PyErr_SetString(PyExc_AttributeError, msg::kNoDeleter);
    return -1;
}

/// Converts `value` first, so a failed conversion leaves the field untouched and
/// never holds exclusive access while Python code (__index__, __float__) runs.
template <class T, class Convert>
int set_field(PyObject* self, PyObject* value, const char* name, T HormonalSignal::*field,
              Convert convert) noexcept {
    if (value == nullptr) return refuse_delete();
    return guard<int>(-1, [&] {
        const T converted = arg(name, value, convert);
        SignalObject* object = as_instance<HormonalSignal>(self);
        ExclusiveAccess access(object->access);
        object->state.*field = converted;
        return 0;
    });
}

int set_flags(PyObject* self, PyObject* value, void*) noexcept {
    return set_field(self, value, "flags", &HormonalSignal::flags, to_u32);
}

int set_intensity(PyObject* self, PyObject* value, void*) noexcept {
    return set_field(self, value, "intensity", &HormonalSignal::intensity, to_f32);
}

PyGetSetDef signal_getset[] = {
    {"flags", get_flags, set_flags, nullptr, nullptr},
    {"intensity", get_intensity, set_intensity, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot signal_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(signal_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<HormonalSignal>)},
    {Py_tp_doc, const_cast<char*>(docstring<kNewParams, doc::kHormonalSignal>)},
    {Py_tp_repr, reinterpret_cast<void*>(signal_repr_slot)},
    {Py_tp_getset, signal_getset},
    {0, nullptr},
};

PyType_Spec signal_spec = instance_spec<HormonalSignal>("builtins.HormonalSignal", signal_slots);

}  // namespace

PyTypeObject* hormonal_signal_type() noexcept {
    static PyTypeObject* cache = nullptr;
    return cached_type(cache, signal_spec, "HormonalSignal");
}

PyObject* to_signal_object(PyObject* obj) {
    PyTypeObject* type = hormonal_signal_type();
    throw_if_failed(type == nullptr);
    return to_instance(obj, type, "HormonalSignal");
}

HormonalSignal signal_fields(PyObject* signal) {
    SignalObject* object = as_instance<HormonalSignal>(signal);
    SharedAccess access(object->access);
    return object->state;
}

}  // namespace qm
