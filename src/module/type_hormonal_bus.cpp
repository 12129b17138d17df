// Python type HormonalBus: converts arguments and delegates to the native bus,
// releasing the interpreter lock around deposits, sensing and decay.
#include <array>
#include <memory>
#include <vector>

#include "bus/hormonal_bus.h"
#include "binding.h"
#include "convert.h"
#include "docstrings.h"
#include "gil.h"
#include "instance.h"
#include "registry.h"
#include "results.h"
#include "type_hormonal_signal.h"

namespace qm {
namespace {

// Behind a pointer: the bus is cache-line aligned, more than the interpreter's
// allocator promises for the object itself, and a pointer moves without throwing.
using BusState = std::unique_ptr<HormonalBus>;

QM_PARAMS(kNewParams, "HormonalBus.__new__()", 0, "num_signals", "event_capacity");
QM_PARAMS(kInjectParams, "HormonalBus.inject()", 1, "signal");
QM_PARAMS(kSecreteParams, "HormonalBus.secrete()", 2, "flags", "intensity");
QM_PARAMS(kSenseParams, "HormonalBus.sense()", 1, "mask");
QM_PARAMS(kConcentrationParams, "HormonalBus.concentration()", 1, "signal_bit");
QM_PARAMS(kTickParams, "HormonalBus.tick()", 1, "decay");
QM_PARAMS(kDrainParams, "HormonalBus.drain_events()", 1, "max");

PyObject* bus_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    BoundArgs<kNewParams.count> slots;
    if (!slots.bind(kNewParams, args, kwargs)) return nullptr;
    return guard<PyObject*>(nullptr, [&] {
        const uint64_t num_signals = arg_or("num_signals", slots[0], to_u64, uint64_t{32});
        const uint64_t event_capacity = arg_or("event_capacity", slots[1], to_u64, uint64_t{4096});
        BusState bus = std::make_unique<HormonalBus>(num_signals, event_capacity);
        return new_instance(type, std::move(bus));
    });
}

/// The deposit shared by inject and secrete, with the interpreter lock released.
Ref deposit(HormonalBus& bus, HormonalSignal signal) {
    without_gil([&] { bus.deposit(signal); });
    return py_none();
}

PyObject* bus_inject(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    BoundArgs<kInjectParams.count> slots;
    if (!slots.bind(kInjectParams, args, kwargs)) return nullptr;
    return with_shared_access<BusState>(self, [&](BusState& bus) {
        return deposit(*bus, signal_fields(arg("signal", slots[0], to_signal_object)));
    });
}

PyObject* bus_secrete(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    BoundArgs<kSecreteParams.count> slots;
    if (!slots.bind(kSecreteParams, args, kwargs)) return nullptr;
    return with_shared_access<BusState>(self, [&](BusState& bus) {
        HormonalSignal signal;
        signal.flags = arg("flags", slots[0], to_u32);
        signal.intensity = arg("intensity", slots[1], to_f32);
        return deposit(*bus, signal);
    });
}

PyObject* bus_sense(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    BoundArgs<kSenseParams.count> slots;
    if (!slots.bind(kSenseParams, args, kwargs)) return nullptr;
    return with_shared_access<BusState>(self, [&](BusState& bus) {
        const uint32_t mask = arg("mask", slots[0], to_u32);
        const float sum = without_gil([&] { return bus->channels().sense(mask); });
        return py_f64(sum);
    });
}

PyObject* bus_concentration(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    BoundArgs<kConcentrationParams.count> slots;
    if (!slots.bind(kConcentrationParams, args, kwargs)) return nullptr;
    return with_shared_access<BusState>(self, [&](BusState& bus) {
        const uint64_t bit = arg("signal_bit", slots[0], to_u64);
        return py_f64(bus->channels().concentration(bit));
    });
}

PyObject* bus_tick(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    BoundArgs<kTickParams.count> slots;
    if (!slots.bind(kTickParams, args, kwargs)) return nullptr;
    return with_shared_access<BusState>(self, [&](BusState& bus) {
        const float decay = arg("decay", slots[0], to_f32);
        without_gil([&] { bus->channels().tick(decay); });
        return py_none();
    });
}

PyObject* bus_snapshot(PyObject* self, PyObject*) noexcept {
    return with_shared_access<BusState>(self, [](BusState& bus) {
        std::array<float, Channels::kMaxChannels> values;
        const uint32_t count = bus->channels().snapshot(values);
        ListBuilder list(count);
        for (uint32_t i = 0; i < count; ++i) list.set(i, py_f64(values[i]));
        return list.finish();
    });
}

PyObject* bus_drain_events(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    BoundArgs<kDrainParams.count> slots;
    if (!slots.bind(kDrainParams, args, kwargs)) return nullptr;
    return with_shared_access<BusState>(self, [&](BusState& bus) {
        const uint64_t max = arg("max", slots[0], to_u64);
        std::vector<HormonalSignal> events;
        bus->drain(max, events);
        ListBuilder list(events.size());
        for (size_t i = 0; i < events.size(); ++i) {
            Ref flags = py_u64(events[i].flags);
            Ref intensity = py_f64(events[i].intensity);
            Ref pair(PyTuple_Pack(2, flags.get(), intensity.get()));
            check(!pair);
            list.set(i, std::move(pair));
        }
        return list.finish();
    });
}

PyObject* bus_stats(PyObject* self, PyObject*) noexcept {
    return with_shared_access<BusState>(self, [](BusState& bus) {
        // A fixed key order: callers may not rely on it, but nothing gains from
        // shuffling it either.
        DictBuilder stats;
        stats.set("num_signals", py_f64(bus->channels().count()));
        stats.set("secretions", py_f64(static_cast<double>(bus->secretions())));
        stats.set("total_concentration", py_f64(bus->channels().total()));
        return stats.finish();
    });
}

/// Casts an entry point to the type a method table stores.
template <class F>
PyCFunction method(F* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef bus_methods[] = {
    {"inject", method(bus_inject), kArgs, doc::kHormonalBus_inject},
    {"secrete", method(bus_secrete), kArgs, doc::kHormonalBus_secrete},
    {"sense", method(bus_sense), kArgs, doc::kHormonalBus_sense},
    {"concentration", method(bus_concentration), kArgs, doc::kHormonalBus_concentration},
    {"tick", method(bus_tick), kArgs, doc::kHormonalBus_tick},
    {"snapshot", method(bus_snapshot), METH_NOARGS, doc::kHormonalBus_snapshot},
    {"drain_events", method(bus_drain_events), kArgs, doc::kHormonalBus_drain_events},
    {"stats", method(bus_stats), METH_NOARGS, doc::kHormonalBus_stats},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot bus_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(bus_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<BusState>)},
    {Py_tp_doc, const_cast<char*>(doc::kHormonalBus)},
    {Py_tp_methods, bus_methods},
    {0, nullptr},
};

PyType_Spec bus_spec = {
    "builtins.HormonalBus",
    static_cast<int>(sizeof(Instance<BusState>)),
    0,
    Py_TPFLAGS_DEFAULT,
    bus_slots,
};

}  // namespace

PyTypeObject* hormonal_bus_type() noexcept {
    static PyTypeObject* cache = nullptr;
    return cached_type(cache, bus_spec, "HormonalBus");
}

}  // namespace qm
