// Argument binding with the interpreter-like messages callers see. Error paths are
// cold and out of line so the common positional call stays a few loads.
#include "binding.h"

#include <cstring>

#include "messages.h"
#include "pyref.h"

namespace qm {
namespace {

// The defaults as a signature prints them, held to the interpreter's repr of what
// each parameter reads back: a float's own narrowing, the shortest digits, the
// fixed notation's limits, and a text given where no decimal is exact.
constexpr char kNoBody[] = "";
constexpr auto kPrinted = params(
    "Printed.check()", param("a", to_f32) = 0.35f, param("b", to_f64) = 0.1,
    param("c", to_f64) = 1e15, param("d", to_f32) = -0.0f, param("e", to_f64) = 0.0001,
    param("f", to_u64) = UINT64_MAX, param("g", to_bool) = true,
    param("h", to_f64) = shown(1e-9, "1e-09"));
static_assert(same_text(docstring<kPrinted, kNoBody>,
                        "check($self, a=0.35, b=0.1, c=1000000000000000.0, d=-0.0, e=0.0001, "
                        "f=18446744073709551615, g=True, h=1e-09)\n--\n\n"));
constexpr auto kPrintedNew = params("Printed.__new__()", param("x", to_text),
                                    param("y", to_f32) = 16777217.0f,
                                    param("z", to_f32) = std::nullopt);
static_assert(same_text(docstring<kPrintedNew, kNoBody>,
                        "Printed(x, y=16777216.0, z=...)\n--\n\n"));

[[gnu::cold, gnu::noinline]] void too_many_positionals(const ParamSpec& spec, Py_ssize_t given) {
    const char* verb = given == 1 ? msg::kWas : msg::kWere;
    if (spec.required == spec.count) {
        PyErr_Format(PyExc_TypeError, msg::kTakesPositionals, spec.display, spec.count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, msg::kTakesFromTo, spec.display, spec.required, spec.count,
                     given, verb);
    }
}

[[gnu::cold, gnu::noinline]] void unexpected_keyword(const ParamSpec& spec, PyObject* key) {
    // str() of the key, so a non-str key is shown as the interpreter would print it.
    PyErr_Format(PyExc_TypeError, msg::kUnexpectedKeyword, spec.display, key);
}

[[gnu::cold, gnu::noinline]] void missing_required(const ParamSpec& spec, PyObject** slots) {
    int missing[kMaxParams];
    int k = 0;
    for (int i = 0; i < spec.required; ++i) {
        if (slots[i] == nullptr) missing[k++] = i;
    }
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c'. A fixed buffer: this path must not throw.
    char list[512];
    size_t used = 0;
    auto put = [&](const char* text) {
        size_t n = std::strlen(text);
        if (used + n >= sizeof list) n = sizeof list - 1 - used;
        std::memcpy(list + used, text, n);
        used += n;
    };
    for (int j = 0; j < k; ++j) {
        if (j > 0) {
            if (k >= 3) put(",");
            put(" ");
            if (j == k - 1) put("and ");
        }
        put("'");
        put(spec.names[missing[j]]);
        put("'");
    }
    list[used] = '\0';
    PyErr_Format(PyExc_TypeError, msg::kMissingRequired, spec.display, k,
                 k == 1 ? msg::kArgument : msg::kArguments, list);
}

/// Index of the parameter named by `key`, -1 when none; -2 with an error set.
int find_parameter(const ParamSpec& spec, PyObject* key) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) return -2;
    for (int i = 0; i < spec.count; ++i) {
        const char* name = spec.names[i];
        if (std::strlen(name) == static_cast<size_t>(size) && std::memcmp(name, utf8, size) == 0) {
            return i;
        }
    }
    return -1;
}

[[gnu::cold, gnu::noinline]] bool bind_keywords(const ParamSpec& spec, PyObject* kwargs,
                                                PyObject** slots) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            unexpected_keyword(spec, key);
            return false;
        }
        int index = find_parameter(spec, key);
        if (index == -2) return false;
        if (index == -1) {
            unexpected_keyword(spec, key);
            return false;
        }
        if (slots[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, msg::kMultipleValues, spec.display, spec.names[index]);
            return false;
        }
        slots[index] = value;
    }
    return true;
}

}  // namespace

bool bind(const ParamSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots) noexcept {
    Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
    if (given < 0) return false;
    if (given > spec.count) {
        too_many_positionals(spec, given);
        return false;
    }
    for (int i = 0; i < spec.count; ++i) {
        slots[i] = i < given ? PyTuple_GetItem(args, i) : nullptr;
    }
    if (kwargs != nullptr && PyDict_Size(kwargs) > 0 && !bind_keywords(spec, kwargs, slots)) {
        return false;
    }
    for (int i = 0; i < spec.required; ++i) {
        if (slots[i] == nullptr) {
            missing_required(spec, slots);
            return false;
        }
    }
    return true;
}

}  // namespace qm
