// Python type HormonalBus: converts arguments and delegates to the native bus,
// releasing the interpreter lock around deposits, sensing and decay.
#include <array>
#include <memory>
#include <vector>

#include "bus/hormonal_bus.h"
#include "binding.h"
#include "convert.h"
#include "gil.h"
#include "instance.h"
#include "registry.h"
#include "results.h"
#include "type_hormonal_signal.h"

namespace qm::doc {

// Bodies of the docstrings of callables with parameters: `docstring` writes the
// text signature above each from its table. A method without parameters has
// no table, and its docstring spells its own "($self)" line.
inline constexpr char kHormonalBus[] =
    "Lock-free hormonal signalling bus. `inject`/`secrete` are O(popcount) and\n"
    "release the GIL; `sense` reads the current concentration for a channel mask.";

inline constexpr char kHormonalBus_inject[] = "Inject a typed `HormonalSignal` (the primary API).";

inline constexpr char kHormonalBus_secrete[] =
    "Raw injection by `(flags, intensity)` — the microsecond hot path.";

inline constexpr char kHormonalBus_sense[] =
    "Current summed concentration across every channel in `mask`.";

inline constexpr char kHormonalBus_concentration[] = "Concentration of a single channel bit.";

inline constexpr char kHormonalBus_tick[] =
    "Multiplicative decay/dissipation of every channel (temporal homeostasis).";

inline constexpr char kHormonalBus_snapshot[] =
    "snapshot($self)\n"
    "--\n"
    "\n"
    "";

inline constexpr char kHormonalBus_drain_events[] =
    "Drain up to `max` buffered signal events as `(flags, intensity)` pairs.";

inline constexpr char kHormonalBus_stats[] =
    "stats($self)\n"
    "--\n"
    "\n"
    "";

}  // namespace qm::doc

namespace qm {
namespace {

// Behind a pointer: the bus is cache-line aligned, more than the interpreter's
// allocator promises for the object itself, and a pointer moves without throwing.
using BusState = std::unique_ptr<HormonalBus>;

constexpr auto kNewParams =
    params("HormonalBus.__new__()", param("num_signals", to_u64) = uint64_t{32},
           param("event_capacity", to_u64) = uint64_t{4096});
constexpr auto kInjectParams = params("HormonalBus.inject()", param("signal", to_signal_object));
constexpr auto kSecreteParams =
    params("HormonalBus.secrete()", param("flags", to_u32), param("intensity", to_f32));
constexpr auto kSenseParams = params("HormonalBus.sense()", param("mask", to_u32));
constexpr auto kConcentrationParams =
    params("HormonalBus.concentration()", param("signal_bit", to_u64));
constexpr auto kTickParams = params("HormonalBus.tick()", param("decay", to_f32));
constexpr auto kDrainParams = params("HormonalBus.drain_events()", param("max", to_u64));

PyObject* bus_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return with_args(args, kwargs, [&](const Args<kNewParams>& a) {
        const uint64_t num_signals = a.get<"num_signals">();
        const uint64_t event_capacity = a.get<"event_capacity">();
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
    return with_args_shared(self, args, kwargs, [](const Args<kInjectParams>& a, BusState& bus) {
        return deposit(*bus, signal_fields(a.get<"signal">()));
    });
}

PyObject* bus_secrete(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return with_args_shared(self, args, kwargs, [](const Args<kSecreteParams>& a, BusState& bus) {
        HormonalSignal signal;
        signal.flags = a.get<"flags">();
        signal.intensity = a.get<"intensity">();
        return deposit(*bus, signal);
    });
}

PyObject* bus_sense(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return with_args_shared(self, args, kwargs, [](const Args<kSenseParams>& a, BusState& bus) {
        const uint32_t mask = a.get<"mask">();
        const float sum = without_gil([&] { return bus->channels().sense(mask); });
        return py_f64(sum);
    });
}

PyObject* bus_concentration(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return with_args_shared(self, args, kwargs,
                            [](const Args<kConcentrationParams>& a, BusState& bus) {
        const uint64_t bit = a.get<"signal_bit">();
        return py_f64(bus->channels().concentration(bit));
    });
}

PyObject* bus_tick(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return with_args_shared(self, args, kwargs, [](const Args<kTickParams>& a, BusState& bus) {
        const float decay = a.get<"decay">();
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
    return with_args_shared(self, args, kwargs, [](const Args<kDrainParams>& a, BusState& bus) {
        const uint64_t max = a.get<"max">();
        std::vector<HormonalSignal> events;
        bus->drain(max, events);
        ListBuilder list(events.size());
        for (size_t i = 0; i < events.size(); ++i) {
            Ref flags = py_u64(events[i].flags);
            Ref intensity = py_f64(events[i].intensity);
            Ref pair(PyTuple_Pack(2, flags.get(), intensity.get()));
            throw_if_failed(!pair);
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

PyMethodDef bus_methods[] = {
    method_def("inject", bus_inject, docstring<kInjectParams, doc::kHormonalBus_inject>),
    method_def("secrete", bus_secrete, docstring<kSecreteParams, doc::kHormonalBus_secrete>),
    method_def("sense", bus_sense, docstring<kSenseParams, doc::kHormonalBus_sense>),
    method_def("concentration", bus_concentration,
               docstring<kConcentrationParams, doc::kHormonalBus_concentration>),
    method_def("tick", bus_tick, docstring<kTickParams, doc::kHormonalBus_tick>),
    method_def("snapshot", bus_snapshot, doc::kHormonalBus_snapshot),
    method_def("drain_events", bus_drain_events,
               docstring<kDrainParams, doc::kHormonalBus_drain_events>),
    method_def("stats", bus_stats, doc::kHormonalBus_stats),
    kMethodsEnd,
};

PyType_Slot bus_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(bus_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<BusState>)},
    {Py_tp_doc, const_cast<char*>(docstring<kNewParams, doc::kHormonalBus>)},
    {Py_tp_methods, bus_methods},
    {0, nullptr},
};

PyType_Spec bus_spec = instance_spec<BusState>("builtins.HormonalBus", bus_slots);

}  // namespace

PyTypeObject* hormonal_bus_type() noexcept {
    static PyTypeObject* cache = nullptr;
    return cached_type(cache, bus_spec, "HormonalBus");
}

}  // namespace qm
