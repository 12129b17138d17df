// Python type ContextApoptosis: binds and converts arguments, delegates to the
// native window and builds the results once its locks are released.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "context/context_apoptosis.h"
#include "binding.h"
#include "convert.h"
#include "gil.h"
#include "instance.h"
#include "messages.h"
#include "registry.h"
#include "results.h"

namespace qm::doc {

// Bodies of the docstrings of callables with parameters: `docstring` writes the
// text signature above each from its table. A method without parameters has
// no table, and its docstring spells its own "($self)" line.
inline constexpr char kContextApoptosis[] =
    "A self-dehydrating context window. Insert blocks, then run `dehydrate` cycles;\n"
    "each cycle halves oxygen over `half_life` and purges anything below the\n"
    "`safe_threshold` (durable classes are reinforced and survive).";

inline constexpr char kContextApoptosis_set_purpose[] =
    "Set (or clear, with `None`) the purpose contract — the stable header\n"
    "rendered above the history. Keep it byte-identical between calls so it\n"
    "stays inside a provider prompt-cache prefix.";

inline constexpr char kContextApoptosis_note_state[] =
    "Append a durable fact/decision to the consolidated STATE ledger.\n"
    "Deduplicated by content hash; oldest entries roll off past capacity.";

inline constexpr char kContextApoptosis_state_entries[] =
    "state_entries($self)\n"
    "--\n"
    "\n"
    "The current STATE ledger entries, oldest first.";

inline constexpr char kContextApoptosis_insert[] =
    "Insert a context block. `oxygen < 0` (default) → auto metabolic weight.";

inline constexpr char kContextApoptosis_dehydrate[] =
    "One half-life decay cycle → returns the number of purged blocks. Durable\n"
    "classes are reinforced by `reinforce_boost`; everything else decays by\n"
    "`2^(-1/half_life)` and is purged in place if it drops below the threshold.\n"
    "\n"
    "With `absorb=True`, purged USER/ASSISTANT cells leave a one-line digest\n"
    "in the STATE ledger instead of vanishing without trace (TOOL/THINKING\n"
    "ballast is still dropped silently — it is noise by definition).";

inline constexpr char kContextApoptosis_active_context[] =
    "active_context($self)\n"
    "--\n"
    "\n"
    "";

inline constexpr char kContextApoptosis_render[] =
    "render($self)\n"
    "--\n"
    "\n"
    "The dehydrated context, newline-joined, ready to dispatch. Layout is\n"
    "cache-friendly: [purpose contract (stable)] + [STATE ledger] + [survivors].";

inline constexpr char kContextApoptosis_active_tokens[] =
    "active_tokens($self)\n"
    "--\n"
    "\n"
    "";

inline constexpr char kContextApoptosis_inserted_tokens[] =
    "inserted_tokens($self)\n"
    "--\n"
    "\n"
    "";

inline constexpr char kContextApoptosis_reduction_ratio[] =
    "reduction_ratio($self)\n"
    "--\n"
    "\n"
    "Fraction of inserted tokens reclaimed by apoptosis (0..1).";

}  // namespace qm::doc

namespace qm {
namespace {

// The window owns mutexes and cannot move; the instance holds it by pointer.
using State = std::unique_ptr<ContextApoptosis>;

/// An unsigned size: the 64-bit count rule, narrowed where size_t is smaller.
size_t to_size(PyObject* obj) {
    const uint64_t value = to_u64(obj);
    if (value > SIZE_MAX) {
        PyErr_SetString(PyExc_OverflowError, msg::kOutOfRange);
        throw PyErrorSet{};
    }
    return static_cast<size_t>(value);
}

/// An owned copy of a str argument's UTF-8.
std::string to_owned_text(PyObject* obj) { return std::string(to_text(obj)); }

/// As `to_owned_text`, but None is no text: the purpose is then cleared.
std::optional<std::string> to_owned_text_or_none(PyObject* obj) {
    if (obj == Py_None) return std::nullopt;
    return to_owned_text(obj);
}

constexpr auto kNewParams = params("ContextApoptosis.__new__()",
                                   param("half_life", to_f32) = 2.0f,
                                   param("safe_threshold", to_f32) = 0.35f,
                                   param("capacity", to_size) = size_t{256},
                                   param("state_capacity", to_size) = size_t{64});
constexpr auto kSetPurposeParams =
    params("ContextApoptosis.set_purpose()", param("text", to_owned_text_or_none));
constexpr auto kNoteStateParams =
    params("ContextApoptosis.note_state()", param("fact", to_owned_text));
// An oxygen left out is no oxygen at all: the window then weighs the block itself.
constexpr auto kInsertParams =
    params("ContextApoptosis.insert()", param("content", to_owned_text),
           param("signal", to_u32) = SignalFlags{0}, param("oxygen", to_f32) = std::nullopt);
constexpr auto kDehydrateParams =
    params("ContextApoptosis.dehydrate()", param("reinforce_boost", to_f32) = 0.5f,
           param("absorb", to_bool) = false);

/// A new list of str from native copies.
Ref text_list(const std::vector<std::string>& texts) {
    ListBuilder list(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) list.set(i, py_text(texts[i]));
    return list.finish();
}

/// tp_new: every argument is converted before the window exists.
PyObject* new_window(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return with_args(args, kwargs, [&](const Args<kNewParams>& a) {
        const float half_life = a.get<"half_life">();
        const float threshold = a.get<"safe_threshold">();
        const size_t capacity = a.get<"capacity">();
        const size_t state_capacity = a.get<"state_capacity">();
        State state =
            std::make_unique<ContextApoptosis>(half_life, threshold, capacity, state_capacity);
        return new_instance(type, std::move(state));
    });
}

/// set_purpose(text): None clears the purpose.
PyObject* set_purpose(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return with_args_shared(self, args, kwargs,
                            [](const Args<kSetPurposeParams>& a, State& window) {
        window->set_purpose(a.get<"text">());
        return py_none();
    });
}

/// note_state(fact) -> whether the fact was new.
PyObject* note_state(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return with_args_shared(self, args, kwargs,
                            [](const Args<kNoteStateParams>& a, State& window) {
        return py_bool(window->note_state(a.get<"fact">()));
    });
}

/// state_entries() -> ledger texts, oldest first.
PyObject* state_entries(PyObject* self, PyObject*) noexcept {
    return with_shared_access<State>(
        self, [](State& window) { return text_list(window->state_entries()); });
}

/// insert(content, signal=0, oxygen=...): an omitted oxygen means automatic.
PyObject* insert(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return with_args_shared(self, args, kwargs, [](const Args<kInsertParams>& a, State& window) {
        std::string content = a.get<"content">();
        const SignalFlags signal = a.get<"signal">();
        const std::optional<float> oxygen = a.get<"oxygen">();
        window->insert(std::move(content), signal, oxygen);
        return py_none();
    });
}

/// dehydrate(reinforce_boost=0.5, absorb=False) -> number of purged blocks.
PyObject* dehydrate(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return with_args_shared(self, args, kwargs,
                            [](const Args<kDehydrateParams>& a, State& state) {
        const float boost = a.get<"reinforce_boost">();
        const bool absorb = a.get<"absorb">();
        ContextApoptosis& window = *state;
        // The interpreter lock goes before the block lock is taken and comes back
        // only after it is released, so a thread that holds the interpreter lock
        // and waits for the block lock can never deadlock with the cycle.
        DehydrateOutcome outcome = without_gil([&] { return window.dehydrate(boost, absorb); });
        for (std::string& digest : outcome.digests) window.note_state(std::move(digest));
        return py_u64(outcome.purged);
    });
}

/// active_context() -> surviving block texts in store order.
PyObject* active_context(PyObject* self, PyObject*) noexcept {
    return with_shared_access<State>(
        self, [](State& window) { return text_list(window->active_context()); });
}

/// render() -> the whole prompt text, created as one str.
PyObject* render(PyObject* self, PyObject*) noexcept {
    return with_shared_access<State>(self, [](State& window) { return py_text(window->render()); });
}

PyObject* active_tokens(PyObject* self, PyObject*) noexcept {
    return with_shared_access<State>(
        self, [](State& window) { return py_u64(window->active_tokens()); });
}

PyObject* inserted_tokens(PyObject* self, PyObject*) noexcept {
    return with_shared_access<State>(
        self, [](State& window) { return py_u64(window->inserted_tokens()); });
}

PyObject* reduction_ratio(PyObject* self, PyObject*) noexcept {
    return with_shared_access<State>(
        self, [](State& window) { return py_f64(window->reduction_ratio()); });
}

/// len(window): the number of blocks held; also what makes an empty window false.
Py_ssize_t length(PyObject* self) noexcept {
    return guard<Py_ssize_t>(-1, [&] {
        auto* instance = as_instance<State>(self);
        SharedAccess access(instance->access);
        return static_cast<Py_ssize_t>(instance->state->length());
    });
}

PyMethodDef methods[] = {
    method_def("set_purpose", set_purpose,
               docstring<kSetPurposeParams, doc::kContextApoptosis_set_purpose>),
    method_def("note_state", note_state,
               docstring<kNoteStateParams, doc::kContextApoptosis_note_state>),
    method_def("state_entries", state_entries, doc::kContextApoptosis_state_entries),
    method_def("insert", insert, docstring<kInsertParams, doc::kContextApoptosis_insert>),
    method_def("dehydrate", dehydrate,
               docstring<kDehydrateParams, doc::kContextApoptosis_dehydrate>),
    method_def("active_context", active_context, doc::kContextApoptosis_active_context),
    method_def("render", render, doc::kContextApoptosis_render),
    method_def("active_tokens", active_tokens, doc::kContextApoptosis_active_tokens),
    method_def("inserted_tokens", inserted_tokens, doc::kContextApoptosis_inserted_tokens),
    method_def("reduction_ratio", reduction_ratio, doc::kContextApoptosis_reduction_ratio),
    kMethodsEnd,
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_window)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<State>)},
    {Py_tp_doc, const_cast<char*>(docstring<kNewParams, doc::kContextApoptosis>)},
    {Py_tp_methods, methods},
    {Py_mp_length, reinterpret_cast<void*>(length)},
    {0, nullptr},
};

PyType_Spec type_spec = instance_spec<State>("builtins.ContextApoptosis", slots);

}  // namespace

PyTypeObject* context_apoptosis_type() noexcept {
    static PyTypeObject* cache = nullptr;
    return cached_type(cache, type_spec, "ContextApoptosis");
}

}  // namespace qm
