// Binds a call's positional and keyword arguments to a callable's parameters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
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

    /// `param("n", to_u64) = uint64_t{1}`. The default has exactly the type the
    /// converter returns, so what the table shows is what the binding gets: no
    /// silent narrowing of a `6.0` into a float parameter, or widening of a flag.
    template <class T>
        requires(!has_default)
    constexpr Param<Convert, T> operator=(T value) const {
        using Converted = decltype(convert(std::declval<PyObject*>()));
        static_assert(std::is_same_v<T, Converted> || std::is_same_v<T, std::nullopt_t>,
                      "a default has the type its converter returns, or is std::nullopt");
        return {name, convert, value};
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
/// binder, its error messages, the docstring check and each binding's `get`.
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

/// Where one parameter of a docstring's text signature lies in the docstring: its
/// name, and its default's text (empty when it has none).
struct SignatureItem {
    size_t name = 0, name_end = 0;
    size_t value = 0, value_end = 0;
    bool has_default = false;
};

/// Reads the parameters of the text signature on the first line of `doc`
/// ("f(a, b=1)", with an optional leading "$self") into `items`. Returns their
/// count, or -1 when the line holds no signature or more than kMaxParams of them.
constexpr int signature_items(const char* doc, SignatureItem (&items)[kMaxParams]) {
    // Plain index loops: sanitizer builds turn the null checks inside the
    // standard library's search functions into non-constant expressions.
    size_t i = 0;
    while (doc[i] != '\0' && doc[i] != '(' && doc[i] != '\n') ++i;
    if (doc[i] != '(') return -1;
    ++i;
    int count = 0;
    while (doc[i] != ')') {
        if (doc[i] == '\0' || doc[i] == '\n') return -1;
        SignatureItem item;
        item.name = i;
        while (doc[i] != ',' && doc[i] != ')' && doc[i] != '=' && doc[i] != '\0') ++i;
        item.name_end = i;
        item.has_default = doc[i] == '=';
        item.value = item.value_end = item.has_default ? i + 1 : i;
        while (doc[i] != ',' && doc[i] != ')' && doc[i] != '\0') ++i;
        if (item.has_default) item.value_end = i;
        if (doc[i] == ',') i += doc[i + 1] == ' ' ? 2 : 1;
        const bool is_self = item.name_end - item.name == 5 && doc[item.name] == '$';
        if (is_self) continue;
        if (count == kMaxParams) return -1;
        items[count++] = item;
    }
    return count;
}

/// Whether `doc[begin, end)` is exactly `text`.
constexpr bool spells(const char* doc, size_t begin, size_t end, const char* text) {
    size_t k = 0;
    while (begin + k < end && text[k] != '\0' && doc[begin + k] == text[k]) ++k;
    return begin + k == end && text[k] == '\0';
}

/// Whether one parameter of a text signature is `entry`: the same name, a default
/// exactly when the entry has one, "..." exactly for std::nullopt, and for an
/// integer or a bool the entry's own default ("8", "True"/"False"). A float's text is
/// left to the tests, which call every callable with and without each default:
/// reading one here would be no cheap parse.
template <class Entry>
constexpr bool item_matches(const char* doc, const SignatureItem& item, const Entry& entry) {
    if (!spells(doc, item.name, item.name_end, entry.name)) return false;
    if (item.has_default != Entry::has_default) return false;
    using Default = typename Entry::default_type;
    const bool elided = spells(doc, item.value, item.value_end, "...");
    if constexpr (std::is_same_v<Default, std::nullopt_t>) {
        return elided;
    } else if (elided) {
        return false;
    } else if constexpr (std::is_same_v<Default, bool>) {
        return spells(doc, item.value, item.value_end, entry.fallback ? "True" : "False");
    } else if constexpr (std::is_integral_v<Default>) {
        if (item.value == item.value_end) return false;
        Default value = 0;
        for (size_t k = item.value; k < item.value_end; ++k) {
            if (doc[k] < '0' || doc[k] > '9') return false;
            value = static_cast<Default>(value * 10 + static_cast<Default>(doc[k] - '0'));
        }
        return value == entry.fallback;
    } else {
        return true;
    }
}

/// Whether the text signature on the first line of `doc` shows exactly `table`'s
/// parameters, in order, with their defaults. Evaluated at compile time, so a
/// docstring and the binder that serves it cannot drift apart.
template <class... Entries>
constexpr bool signature_matches(const char* doc, const ParamTable<Entries...>& table) {
    SignatureItem items[kMaxParams];
    if (signature_items(doc, items) != table.count) return false;
    return [&]<size_t... I>(std::index_sequence<I...>) {
        return (item_matches(doc, items[I], std::get<I>(table.entries)) && ...);
    }(std::index_sequence_for<Entries...>{});
}

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
