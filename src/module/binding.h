// Binds a call's positional and keyword arguments to a callable's parameters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "convert.h"
#include "errors.h"
#include "instance.h"

namespace qm {

/// Upper bound on the parameters of any callable of this module.
inline constexpr int kMaxParams = 8;

/// Untyped view of one callable's parameter list, as `bind` and its messages read
/// it; always derived from a ParamTable. Every parameter of this module is
/// positional-or-keyword; the first `required` have no default.
struct ParamSpec {
    const char* display;       // "HormonalBus.inject()", "dehydrate()"
    const char* const* names;  // parameter names in binding order
    int count;
    int required;
};

/// Fills `slots[0..spec.count)` with borrowed references (nullptr = not given).
/// Returns false with TypeError set when the call does not fit the parameters.
bool bind(const ParamSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots) noexcept;

/// The default of a parameter that has none.
struct NoDefault {};

/// A default and the text the signature shows for it; `text` is null when the
/// text is printed from the value.
template <class T>
struct Shown {
    T value;
    const char* text;
};

/// A default whose value has no short decimal a signature could show exactly:
/// `param("tolerance", to_f64) = shown(1e-9, "1e-09")`.
template <class T>
constexpr Shown<T> shown(T value, const char* text) {
    return {value, text};
}

/// One parameter: its name, its converter and, unless `Default` is NoDefault, the
/// value an argument left out takes. A default of `std::nullopt` reads the
/// argument as an optional, empty when left out.
template <class Convert, class Default = NoDefault>
struct Param {
    static constexpr bool has_default = !std::is_same_v<Default, NoDefault>;
    using default_type = Default;

    const char* name;
    Convert convert;
    Default fallback;
    const char* shown = nullptr;  // the default's text in the signature, if not printed

    /// `param("n", to_u64) = uint64_t{1}`. The default has exactly the type the
    /// converter returns, so what the table shows is what the binding gets: no
    /// silent narrowing of a `6.0` into a float parameter, or widening of a flag.
    template <class T>
        requires(!has_default)
    constexpr Param<Convert, T> operator=(Shown<T> value) const {
        using Converted = decltype(convert(std::declval<PyObject*>()));
        static_assert(std::is_same_v<T, Converted> || std::is_same_v<T, std::nullopt_t>,
                      "a default has the type its converter returns, or is std::nullopt");
        return {name, convert, value.value, value.text};
    }

    template <class T>
        requires(!has_default)
    constexpr Param<Convert, T> operator=(T value) const {
        return *this = Shown<T>{value, nullptr};
    }
};

/// A parameter without a default: `param("text", to_text)`.
template <class Convert>
constexpr Param<Convert> param(const char* name, Convert convert) {
    return {name, convert, NoDefault{}};
}

/// Whether the two texts are the same.
constexpr bool same_text(const char* a, const char* b) {
    size_t i = 0;
    while (a[i] != '\0' && a[i] == b[i]) ++i;
    return a[i] == b[i];
}

/// Every fact about one callable's parameters: made by `params`, read by the
/// binder, its error messages, the docstring's text signature and each binding's
/// `get`.
template <class... Entries>
struct ParamTable {
    static constexpr int count = sizeof...(Entries);

    const char* display;
    std::tuple<Entries...> entries;
    std::array<const char*, sizeof...(Entries)> names;
    int required;

    constexpr ParamSpec spec() const { return {display, names.data(), count, required}; }

    /// The index of the parameter called `name`, -1 when there is none.
    constexpr int index_of(const char* name) const {
        for (int i = 0; i < count; ++i) {
            if (same_text(names[i], name)) return i;
        }
        return -1;
    }

    /// Whether no name stands twice: the binder would fill only the first.
    constexpr bool names_distinct() const {
        for (int i = 0; i < count; ++i) {
            if (index_of(names[i]) != i) return false;
        }
        return true;
    }
};

/// Whether every parameter with a default comes after all those without: the
/// binder reads the first `required` as the ones a call must give.
template <class... Entries>
constexpr bool defaults_trail() {
    constexpr bool has_default[] = {Entries::has_default...};
    bool seen_default = false;
    for (bool has : has_default) {
        if (seen_default && !has) return false;
        seen_default = seen_default || has;
    }
    return true;
}

/// The table of a callable shown as `display` in messages:
/// `params("f()", param("text", to_text), param("n", to_u64) = uint64_t{1})`.
template <class... Entries>
constexpr ParamTable<Entries...> params(const char* display, Entries... entries) {
    static_assert(sizeof...(Entries) > 0,
                  "a callable without parameters takes no arguments at all (METH_NOARGS)");
    static_assert(sizeof...(Entries) <= kMaxParams, "more parameters than kMaxParams");
    static_assert(defaults_trail<Entries...>(),
                  "a parameter without a default follows one with a default");
    constexpr int required = (0 + ... + (Entries::has_default ? 0 : 1));
    return {display, {entries...}, {entries.name...}, required};
}

/// The untyped view of `Table` that `bind` reads, in static storage so that a call
/// passes one address.
template <const auto& Table>
inline constexpr ParamSpec spec_of = Table.spec();

/// A parameter's name as a template argument: `a.get<"half_life">()`.
template <size_t N>
struct ParamName {
    char text[N];

    constexpr ParamName(const char (&literal)[N]) {
        for (size_t i = 0; i < N; ++i) text[i] = literal[i];
    }
};

/// The bound arguments of one call to the callable of `Table`, read by parameter
/// name. Positional arguments are borrowed from the immutable argument tuple.
/// Keyword arguments are held strongly until the call returns: a C caller may pass
/// a dict of its own that a conversion hook (`__index__`, `__float__`, `__iter__`)
/// then clears, and the arguments converted after that hook must outlive it.
/// Made only by its own `call` and `call_method` (what `with_args` and
/// `with_args_shared` run), so no binding converts an argument before the whole
/// call is bound.
template <const auto& Table>
class Args {
    static constexpr int N = std::remove_cvref_t<decltype(Table)>::count;
    static_assert(Table.names_distinct(), "two parameters of one table share a name");

public:
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;
    ~Args() {
        if (!owned_) return;
        for (PyObject* slot : slots_) Py_XDECREF(slot);
    }

    /// The argument of the parameter called `Name`, through its table entry's
    /// converter, or the entry's default when it was left out. The index is the
    /// table's, so reordering the table cannot hand a body another parameter's
    /// value. `extra` goes to converters that fill the caller's storage.
    template <ParamName Name, class... Extra>
    auto get(Extra&&... extra) const {
        constexpr int index = Table.index_of(Name.text);
        static_assert(index >= 0, "no parameter of this name in the table");
        if constexpr (index >= 0) return read<index>(std::forward<Extra>(extra)...);
    }

    /// Binds the call and runs `body(args)` in `guard`: a whole function or
    /// constructor entry point.
    template <class Body>
    static PyObject* call(PyObject* args, PyObject* kwargs, Body& body) noexcept {
        Args bound;
        if (!bound.bind(args, kwargs)) return nullptr;
        return guard<PyObject*>(nullptr, [&] { return body(std::as_const(bound)); });
    }

    /// Binds the call and runs `body(args, state)` under shared access to `self`'s
    /// State: a whole method entry point. Binding comes first, so a call that does
    /// not fit never touches the instance.
    template <class State, class Body>
    static PyObject* call_method(PyObject* self, PyObject* args, PyObject* kwargs,
                                 Body& body) noexcept {
        Args bound;
        if (!bound.bind(args, kwargs)) return nullptr;
        return with_shared_access<State>(
            self, [&](State& state) { return body(std::as_const(bound), state); });
    }

private:
    Args() noexcept = default;

    /// Argument I; a failed conversion gets the note naming parameter I as the
    /// table spells it.
    template <int I, class... Extra>
    auto read(Extra&&... extra) const {
        constexpr const auto& entry = std::get<I>(Table.entries);
        using Entry = std::remove_cvref_t<decltype(entry)>;
        PyObject* value = slots_[I];
        if constexpr (!Entry::has_default) {
            return arg(entry.name, value, entry.convert, std::forward<Extra>(extra)...);
        } else {
            using Converted =
                decltype(arg(entry.name, value, entry.convert, std::forward<Extra>(extra)...));
            using Result =
                std::conditional_t<std::is_same_v<typename Entry::default_type, std::nullopt_t>,
                                   std::optional<Converted>, Converted>;
            if (value == nullptr) return Result(entry.fallback);
            return Result(arg(entry.name, value, entry.convert, std::forward<Extra>(extra)...));
        }
    }

    /// False with TypeError set when the call does not fit the table.
    bool bind(PyObject* args, PyObject* kwargs) noexcept {
        if (!qm::bind(spec_of<Table>, args, kwargs, slots_)) return false;
        if (kwargs != nullptr) {
            for (PyObject* slot : slots_) Py_XINCREF(slot);
            owned_ = true;
        }
        return true;
    }

    PyObject* slots_[N] = {};
    bool owned_ = false;
};

namespace detail {

/// The Args type (and, for a method, the State) a body takes, read off its call
/// operator, so that a binding names its table once: in the body's parameter.
template <class Body>
struct BodyOf : BodyOf<decltype(&Body::operator())> {};

template <class C, class R, class A>
struct BodyOf<R (C::*)(const A&) const> {
    using Bound = A;
};

template <class C, class R, class A, class State>
struct BodyOf<R (C::*)(const A&, State&) const> {
    using Bound = A;
    using StateType = State;
};

}  // namespace detail

/// The entry point of a function or constructor:
/// `return with_args(args, kwargs, [&](const Args<kParams>& a) { ... a.get<"text">() ... });`
template <class Body>
PyObject* with_args(PyObject* args, PyObject* kwargs, Body&& body) noexcept {
    using Bound = typename detail::BodyOf<std::remove_cvref_t<Body>>::Bound;
    return Bound::call(args, kwargs, body);
}

/// The entry point of a method that reads its instance's state:
/// `return with_args_shared(self, args, kwargs, [&](const Args<kParams>& a, State& s) { ... });`
template <class Body>
PyObject* with_args_shared(PyObject* self, PyObject* args, PyObject* kwargs,
                           Body&& body) noexcept {
    using Traits = detail::BodyOf<std::remove_cvref_t<Body>>;
    return Traits::Bound::template call_method<typename Traits::StateType>(self, args, kwargs,
                                                                           body);
}

namespace detail {

/// Text made at compile time, in two runs of one writer: the first only counts
/// (`out` null) to size the storage the second fills. `exact` turns false when a
/// default has no text the writer can vouch for.
struct TextSink {
    char* out = nullptr;
    size_t size = 0;
    bool exact = true;

    constexpr void put(char c) {
        if (out != nullptr) out[size] = c;
        ++size;
    }
    constexpr void put(const char* begin, const char* end) {
        while (begin != end) put(*begin++);
    }
    constexpr void put(const char* text) {
        while (*text != '\0') put(*text++);
    }
    /// `value` in decimal; with `places` >= 0, as a fixed-point number with that
    /// many places and at least one digit on each side of the point: (35, 2) is
    /// "0.35", (6, 0) is "6.0".
    constexpr void put_decimal(uint64_t value, int places = -1) {
        char digits[24] = {};
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0 || n <= places);
        while (n > 0) {
            if (n == places) put('.');
            put(digits[--n]);
        }
        if (places == 0) put(".0");
    }
};

/// `value` as a float's repr shows it ("6.0", "0.35"): the shortest decimal that
/// the interpreter's float parsing, narrowed to T as the converter does, reads back
/// as `value`, and of those the nearest. A candidate is checked by one division of
/// two exact doubles, which rounds correctly only while the digits stay below 2^53
/// and the power of ten below 10^23; a value past that, or one that repr would
/// write with an exponent, is not printed (`exact` turns false).
template <class T>
constexpr void put_float(TextSink& sink, T value) {
    const double wide = value;
    const bool negative = (std::bit_cast<uint64_t>(wide) >> 63) != 0;
    const double magnitude = negative ? -wide : wide;
    if (magnitude != 0 && !(magnitude >= 1e-4 && magnitude < 1e16)) {
        sink.exact = false;
        return;
    }
    constexpr double kExactDigits = 9007199254740992.0;  // 2^53
    double scale = 1;
    for (int places = 0; places <= 22; ++places, scale *= 10) {
        const double scaled = magnitude * scale;
        if (scaled >= kExactDigits) break;
        // The product is off by less than one: the nearest digits lie beside it.
        const uint64_t nearest = static_cast<uint64_t>(scaled + 0.5);
        uint64_t best = 0;
        double best_distance = -1;
        for (uint64_t digits = nearest > 0 ? nearest - 1 : 0; digits <= nearest + 1; ++digits) {
            const double read_back = static_cast<double>(digits) / scale;
            if (static_cast<T>(read_back) != static_cast<T>(magnitude)) continue;
            const double off = static_cast<double>(digits) - scaled;
            const double distance = off < 0 ? -off : off;
            if (best_distance < 0 || distance < best_distance) {
                best = digits;
                best_distance = distance;
            }
        }
        if (best_distance < 0) continue;
        if (negative) sink.put('-');
        sink.put_decimal(best, places);
        return;
    }
    sink.exact = false;
}

/// The default of `entry` as the signature shows it.
template <class Entry>
constexpr void put_default(TextSink& sink, const Entry& entry) {
    using Default = typename Entry::default_type;
    if (entry.shown != nullptr) {
        sink.put(entry.shown);
    } else if constexpr (std::is_same_v<Default, std::nullopt_t>) {
        sink.put("...");  // no value a caller could pass: the binding decides
    } else if constexpr (std::is_same_v<Default, bool>) {
        sink.put(entry.fallback ? "True" : "False");
    } else if constexpr (std::is_integral_v<Default>) {
        uint64_t magnitude = static_cast<uint64_t>(entry.fallback);
        if constexpr (std::is_signed_v<Default>) {
            if (entry.fallback < 0) {
                sink.put('-');
                magnitude = 0 - magnitude;
            }
        }
        sink.put_decimal(magnitude);
    } else if constexpr (std::is_floating_point_v<Default>) {
        put_float(sink, entry.fallback);
    } else {
        sink.exact = false;
    }
}

/// One parameter of a text signature, after a ", " unless it comes first.
template <class Entry>
constexpr void put_parameter(TextSink& sink, const Entry& entry, bool& first) {
    if (!first) sink.put(", ");
    first = false;
    sink.put(entry.name);
    if constexpr (Entry::has_default) {
        sink.put('=');
        put_default(sink, entry);
    }
}

/// The docstring of the callable of `table`: its text signature, the "--" line
/// and an empty line, then `body`. The interpreter publishes the first line as
/// __text_signature__ only when it starts with the callable's own name, which the
/// display name holds: "dehydrate()", "HormonalBus.__new__()" (a class shows its
/// constructor's parameters under its own name), "HormonalBus.inject()" (a method,
/// whose signature starts with "$self").
template <class... Entries>
constexpr void put_docstring(TextSink& sink, const ParamTable<Entries...>& table,
                             const char* body) {
    const char* begin = table.display;
    const char* end = begin;
    while (*end != '\0') ++end;
    end -= 2;  // "()"
    const char* dot = begin;
    while (dot != end && *dot != '.') ++dot;
    const bool method = dot != end && !same_text(dot, ".__new__()");
    if (method) {
        sink.put(dot + 1, end);
    } else {
        sink.put(begin, dot);
    }
    sink.put('(');
    if (method) sink.put("$self");
    bool first = !method;
    std::apply([&](const auto&... entry) { (put_parameter(sink, entry, first), ...); },
               table.entries);
    sink.put(")\n--\n\n");
    sink.put(body);
}

template <const auto& Table, const auto& Body>
constexpr auto docstring_text() {
    constexpr TextSink measured = [] {
        TextSink sink;
        put_docstring(sink, Table, Body);
        return sink;
    }();
    static_assert(measured.exact,
                  "a default the signature cannot show exactly: give it its text, "
                  "param(...) = shown(value, \"text\")");
    std::array<char, measured.size + 1> text{};
    TextSink sink{text.data()};
    put_docstring(sink, Table, Body);
    return text;
}

template <const auto& Table, const auto& Body>
inline constexpr auto docstring_storage = docstring_text<Table, Body>();

}  // namespace detail

/// The docstring of the callable of `Table` with the body `Body`, its text
/// signature written from the table at compile time, so the names, order and
/// defaults a caller reads are the ones the binder serves:
/// `method_def("dehydrate", call, docstring<kParams, doc::kDehydrate>)`.
template <const auto& Table, const auto& Body>
inline constexpr const char* docstring = detail::docstring_storage<Table, Body>.data();

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

}  // namespace qm
