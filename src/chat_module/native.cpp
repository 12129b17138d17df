// quorvex_chat._native: the chat layer's private native helpers. The line scores of
// text/line_stats, the per-call check of a conversation's history (the messages still the
// objects read, with the leaves read), and which messages a compaction's trial drops with
// their units; the chat layer keeps its Python code for whatever this declines and for
// builds without this module.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/hash_key.h"
#include "context/one_pass_dehydrate.h"
#include "context/pointed.h"
#include "context/signal_class.h"
#include "module/pyref.h"
#include "text/line_stats.h"
#include "text/lookup_text.h"
#include "text/token_count.h"

namespace qm {
namespace {

/// Items as a list of (float, int) tuples, `two` giving each item's two.
template <typename Item, typename Two>
PyObject* pairs_to_list(const std::vector<Item>& items, Two&& two) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        const auto [first, second] = two(items[i]);
        Ref score(PyFloat_FromDouble(first));
        Ref index(PyLong_FromLongLong(static_cast<long long>(second)));
        if (!score || !index) return nullptr;
        Ref pair(PyTuple_New(2));
        if (!pair) return nullptr;
        // PyTuple_SetItem and PyList_SetItem take the references, even on failure.
        if (PyTuple_SetItem(pair.get(), 0, score.release()) < 0 ||
            PyTuple_SetItem(pair.get(), 1, index.release()) < 0 ||
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release()) < 0) {
            return nullptr;
        }
    }
    return list.release();
}

/// The strings of `lines`, a list of str, as views into their own buffers, where all are
/// ASCII (false where one is not, or has no UTF-8 form); nothing, with an exception set,
/// where `lines` is no list of str (`what` says so). No Python code may run while the
/// views are read, so the list and its strings stay as they are.
std::optional<bool> ascii_views(PyObject* lines, std::vector<std::string_view>& views,
                                const char* what) {
    if (!PyList_Check(lines)) {
        PyErr_SetString(PyExc_TypeError, what);
        return std::nullopt;
    }
    const Py_ssize_t count = PyList_Size(lines);
    views.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* line = PyList_GetItem(lines, i);
        if (line == nullptr) return std::nullopt;
        if (!PyUnicode_Check(line)) {
            PyErr_SetString(PyExc_TypeError, what);
            return std::nullopt;
        }
        // An ASCII string is its own UTF-8 and lends its buffer; any other gets a UTF-8
        // copy cached on it, only for the one line that makes the call decline, and a
        // string with no UTF-8 form (a lone surrogate) is declined as well.
        const Py_ssize_t length = PyUnicode_GetLength(line);
        if (length < 0) return std::nullopt;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(line, &size);
        if (utf8 == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return std::nullopt;
            PyErr_Clear();
            return false;
        }
        if (size != length) return false;
        views.emplace_back(utf8, static_cast<size_t>(size));
    }
    return true;
}

PyObject* line_scores_impl(PyObject* lines) {
    std::vector<std::string_view> views;
    const std::optional<bool> ascii = ascii_views(lines, views, "line_scores() takes a list of str");
    if (!ascii) return nullptr;
    if (!*ascii) Py_RETURN_NONE;
    const std::optional<std::vector<LineScore>> scores = line_scores(views);
    if (!scores) Py_RETURN_NONE;
    return pairs_to_list(*scores, [](const LineScore& line) {
        return std::pair(line.score, line.index);
    });
}

/// `body`'s result, with no C++ exception let through to the interpreter.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown native exception");
    }
    return nullptr;
}

/// A function's name, as a template argument.
template <size_t N>
struct Name {
    char text[N];
    constexpr Name(const char (&name)[N]) { std::copy_n(name, N, text); }
};

/// The METH_FASTCALL entry of `Impl`, which takes exactly `Arity` arguments: the count is
/// checked here, once for every function, and no C++ exception is let through.
template <Name name, Py_ssize_t Arity, PyObject* (*Impl)(PyObject* const*)>
PyObject* fastcall(PyObject*, PyObject* const* args, Py_ssize_t count) noexcept {
    if (count != Arity) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments", name.text, Arity);
        return nullptr;
    }
    return guarded([args] { return Impl(args); });
}

PyObject* line_scores_entry(PyObject*, PyObject* lines) noexcept {
    return guarded([lines] { return line_scores_impl(lines); });
}

/// The UTF-8 of `text` in a copy made for the call and held by `encoded`, rather than the
/// one PyUnicode_AsUTF8AndSize would cache on the string: every message of a history is
/// read, and that cache would keep a second copy of each non-ASCII one for as long as the
/// history lives. Nothing for a string with no UTF-8 form (a lone surrogate), which is
/// declined for Python to read, and nothing with an exception set where the copy fails.
std::optional<std::string_view> utf8_copy(PyObject* text, Ref& encoded) {
    encoded = Ref(PyUnicode_AsUTF8String(text));
    if (!encoded) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) PyErr_Clear();
        return std::nullopt;
    }
    char* utf8 = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &utf8, &size) < 0) return std::nullopt;
    return std::string_view(utf8, static_cast<size_t>(size));
}

/// None where a call declines its input, or nothing where an exception was set on the way.
PyObject* declined() {
    if (PyErr_Occurred() != nullptr) return nullptr;
    Py_RETURN_NONE;
}

PyObject* count_tokens_impl(PyObject* text) {
    if (!PyUnicode_Check(text)) {
        PyErr_SetString(PyExc_TypeError, "count_tokens() takes a str");
        return nullptr;
    }
    Ref encoded;
    const auto utf8 = utf8_copy(text, encoded);
    if (!utf8) return declined();
    return PyLong_FromUnsignedLongLong(count_tokens_utf8(*utf8));
}

PyObject* count_tokens_entry(PyObject*, PyObject* text) noexcept {
    return guarded([text] { return count_tokens_impl(text); });
}

/// count_tokens of every text of an exact list, as one call: a notice's candidate lines are
/// many short texts, and a call apiece costs more than counting them.
PyObject* count_tokens_many_impl(PyObject* texts) {
    if (!PyList_CheckExact(texts)) {
        PyErr_SetString(PyExc_TypeError, "count_tokens_many() takes a list of str");
        return nullptr;
    }
    const Py_ssize_t size = PyList_Size(texts);
    Ref counts(PyList_New(size));
    if (!counts) return nullptr;
    // Nothing below runs Python code, so the list holds its texts throughout.
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* text = PyList_GetItem(texts, i);
        if (!PyUnicode_Check(text)) {
            PyErr_SetString(PyExc_TypeError, "count_tokens_many() takes a list of str");
            return nullptr;
        }
        Ref encoded;
        const auto utf8 = utf8_copy(text, encoded);
        PyObject* count = utf8 ? PyLong_FromUnsignedLongLong(count_tokens_utf8(*utf8))
                               : declined();
        if (count == nullptr) return nullptr;
        PyList_SetItem(counts.get(), i, count);  // takes the reference, cannot fail here
    }
    return counts.release();
}

PyObject* count_tokens_many_entry(PyObject*, PyObject* texts) noexcept {
    return guarded([texts] { return count_tokens_many_impl(texts); });
}

PyObject* terms_impl(PyObject* text) {
    if (!PyUnicode_Check(text)) {
        PyErr_SetString(PyExc_TypeError, "terms() takes a str");
        return nullptr;
    }
    Ref encoded;  // the lines a lookup keeps would otherwise keep a UTF-8 copy each
    const auto utf8 = utf8_copy(text, encoded);
    if (!utf8) return declined();
    std::string lowered;
    const auto words = lookup_terms(*utf8, lowered);
    if (!words) Py_RETURN_NONE;
    Ref found(PySet_New(nullptr));
    if (!found) return nullptr;
    for (const std::string_view word : *words) {
        const Ref item(PyUnicode_FromStringAndSize(word.data(), static_cast<Py_ssize_t>(word.size())));
        if (!item || PySet_Add(found.get(), item.get()) < 0) return nullptr;
    }
    return found.release();
}

PyObject* terms_entry(PyObject*, PyObject* text) noexcept {
    return guarded([text] { return terms_impl(text); });
}

/// How deep a message is walked here; a deeper one is left to Python, which walks it or
/// raises RecursionError as its own limit says.
constexpr int kMaxDepth = 100;

enum class Walk { done, declined, failed };

/// The exact types a walk reads as (type, value) pairs.
bool is_atom(PyObject* value) noexcept {
    return PyLong_CheckExact(value) || PyFloat_CheckExact(value) || PyBool_Check(value) ||
           PyBytes_CheckExact(value) || value == Py_None;
}

/// The exact types whose comparisons with each other run no Python code and warn of nothing.
bool is_plain(PyObject* value) noexcept {
    return PyUnicode_CheckExact(value) || PyLong_CheckExact(value) ||
           PyFloat_CheckExact(value) || PyBool_Check(value) || value == Py_None;
}

/// What `key != "cache_control"` makes of a key, answered only for the key types whose
/// comparison with a str runs no Python code and warns of nothing (a bytes key warns
/// under -b).
enum class Key { kept, mark, declined };

Key key_kind(PyObject* key) {
    if (PyUnicode_CheckExact(key)) {
        return PyUnicode_CompareWithASCIIString(key, "cache_control") == 0 ? Key::mark
                                                                           : Key::kept;
    }
    if ((is_atom(key) && !PyBytes_CheckExact(key)) || PyTuple_CheckExact(key)) return Key::kept;
    return Key::declined;
}

/// `_reading._walk` for messages made of exact JSON-like types, declining at anything else
/// (a subclass, an object with fields, a digest's case) so that Python keeps the last word.
class Walker {
public:
    explicit Walker(PyObject* found) noexcept : found_(found) {}

    Walk walk(PyObject* value, int depth) {
        if (PyUnicode_CheckExact(value)) return append(value);
        if (depth > kMaxDepth) return Walk::declined;
        if (PyDict_CheckExact(value)) return walk_dict(value, depth);
        if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
            return walk_sequence(value, depth);
        }
        if (is_atom(value)) {
            return append_new(PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(value)),
                                           value));
        }
        return Walk::declined;
    }

private:
    Walk append(PyObject* borrowed) {
        return PyList_Append(found_, borrowed) < 0 ? Walk::failed : Walk::done;
    }

    Walk append_new(PyObject* owned) {
        const Ref item(owned);
        return item ? append(item.get()) : Walk::failed;
    }

    // The appends may set off a collection whose finalisers run Python code, which could
    // change a container under the walk: its items are held while read, and a change of
    // size is declined (Python would see it as it iterates).

    Walk walk_dict(PyObject* value, int depth) {
        const Py_ssize_t size = PyDict_Size(value);
        if (size < 0) return Walk::failed;
        Walk walked = append_new(PyLong_FromSsize_t(size));
        Py_ssize_t position = 0;
        PyObject* key_borrowed = nullptr;
        PyObject* item_borrowed = nullptr;
        while (walked == Walk::done &&
               PyDict_Next(value, &position, &key_borrowed, &item_borrowed)) {
            const Ref key = Ref::borrow(key_borrowed);
            const Ref item = Ref::borrow(item_borrowed);
            const Key kind = key_kind(key.get());
            if (kind == Key::declined) return Walk::declined;
            if (kind == Key::mark) continue;  // a mark that moves is no edit
            walked = append(key.get());
            if (walked == Walk::done) walked = walk(item.get(), depth + 1);
            if (walked == Walk::done && PyDict_Size(value) != size) walked = Walk::declined;
        }
        return walked;
    }

    Walk walk_sequence(PyObject* value, int depth) {
        const bool is_list = PyList_CheckExact(value);
        const Py_ssize_t size = is_list ? PyList_Size(value) : PyTuple_Size(value);
        if (size < 0) return Walk::failed;
        const Ref length(PyLong_FromSsize_t(size));
        if (!length) return Walk::failed;
        Walk walked = append_new(
            PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(value)), length.get()));
        for (Py_ssize_t i = 0; walked == Walk::done && i < size; ++i) {
            if (is_list && PyList_Size(value) != size) return Walk::declined;
            const Ref item =
                Ref::borrow(is_list ? PyList_GetItem(value, i) : PyTuple_GetItem(value, i));
            walked = item ? walk(item.get(), depth + 1) : Walk::failed;
        }
        return walked;
    }

    PyObject* found_;
};

/// An exact int as a Py_ssize_t, or nothing where it is anything else or out of range
/// (what the callers leave to Python).
std::optional<Py_ssize_t> exact_index(PyObject* number) {
    if (!PyLong_CheckExact(number)) return std::nullopt;
    const Py_ssize_t value = PyLong_AsSsize_t(number);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return value;
}

/// Whether a message's leaves are still those read before, walked as `Walker` walks and
/// compared item by item as `==` compares two lists, without making the list: the check a
/// conversation makes of every message in its prompt on every call. Only ints are made,
/// which the collector does not track, and only comparisons that run no Python code are
/// made (any other is declined), so no container can change under the walk.
class Comparer {
public:
    explicit Comparer(PyObject* stored) noexcept : stored_(stored) {}

    Walk walk(PyObject* value, int depth) {
        if (PyUnicode_CheckExact(value)) return same(value);
        if (depth > kMaxDepth) return Walk::declined;
        if (PyDict_CheckExact(value)) return walk_dict(value, depth);
        if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
            return walk_sequence(value, depth);
        }
        if (is_atom(value)) {
            return same_pair(reinterpret_cast<PyObject*>(Py_TYPE(value)), value, nullptr);
        }
        return Walk::declined;
    }

    bool at_end() const noexcept { return next_ == PyList_Size(stored_); }
    bool differs() const noexcept { return differs_; }
    /// Every str and atom walked was the very object stored, and no mark was passed over:
    /// the walk may be kept as an image (`Imager`).
    bool identical() const noexcept { return identical_; }

private:
    PyObject* take() noexcept {
        if (differs_ || next_ >= PyList_Size(stored_)) {
            differs_ = true;
            return nullptr;
        }
        return PyList_GetItem(stored_, next_++);
    }

    /// The next stored item `==` `value`; what differs ends the walk as done, a failure
    /// as failed.
    Walk same(PyObject* value) {
        PyObject* item = take();
        return item == nullptr ? Walk::done : equal(item, value);
    }

    /// `held == value` as Python answers it (1 == 1.0 == True), asked only of objects whose
    /// comparison runs no Python code and warns of nothing; of any other, declined.
    Walk equal(PyObject* held, PyObject* value) {
        if (held == value) return Walk::done;
        identical_ = false;
        int equal = 0;
        if ((is_plain(held) && is_plain(value)) ||
            (PyBytes_CheckExact(held) && PyBytes_CheckExact(value))) {
            equal = PyObject_RichCompareBool(held, value, Py_EQ);
            if (equal < 0) return Walk::failed;
        } else if (!(PyTuple_CheckExact(held) && is_plain(value))) {
            return Walk::declined;  // a tuple equals no plain value; anything else: Python's
        }
        differs_ = equal == 0;
        return Walk::done;
    }

    /// The next stored item is the pair (type, value), or (type, size) for `size` >= 0.
    Walk same_pair(PyObject* type, PyObject* value, const Py_ssize_t* size) {
        PyObject* item = take();
        if (item == nullptr) return Walk::done;
        if (!PyTuple_CheckExact(item) || PyTuple_Size(item) != 2) {
            if (!is_plain(item)) return Walk::declined;
            differs_ = true;
            return Walk::done;
        }
        PyObject* first = PyTuple_GetItem(item, 0);
        if (first != type) {
            // Another type is unequal to this one; a value inside a key kept whole may
            // compare in Python code of its own.
            if (!PyType_CheckExact(first) && !is_plain(first)) return Walk::declined;
            differs_ = true;
            return Walk::done;
        }
        PyObject* held = PyTuple_GetItem(item, 1);
        return size != nullptr ? same_size(held, *size) : equal(held, value);
    }

    Walk same_size(PyObject* held, Py_ssize_t size) {
        if (const auto was = exact_index(held)) {  // as walked: compared, nothing made
            differs_ = *was != size;
            return Walk::done;
        }
        // An int is not tracked by the collector: making one runs no Python code.
        const Ref counted(PyLong_FromSsize_t(size));
        return counted ? equal(held, counted.get()) : Walk::failed;
    }

    Walk walk_dict(PyObject* value, int depth) {
        const Py_ssize_t size = PyDict_Size(value);
        if (size < 0) return Walk::failed;
        PyObject* item = take();
        if (item == nullptr) return Walk::done;
        Walk walked = same_size(item, size);
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* entry = nullptr;
        while (walked == Walk::done && !differs_ &&
               PyDict_Next(value, &position, &key, &entry)) {
            // A tuple key is compared whole, which may reach any object inside it: left to
            // Python.
            const Key kind = key_kind(key);
            if (kind == Key::declined || PyTuple_CheckExact(key)) return Walk::declined;
            if (kind == Key::mark) {
                identical_ = false;  // its key and value are not held in the leaves
                continue;
            }
            walked = same(key);
            if (walked == Walk::done && !differs_) walked = walk(entry, depth + 1);
        }
        return walked;
    }

    Walk walk_sequence(PyObject* value, int depth) {
        const bool is_list = PyList_CheckExact(value);
        const Py_ssize_t size = is_list ? PyList_Size(value) : PyTuple_Size(value);
        if (size < 0) return Walk::failed;
        Walk walked = same_pair(reinterpret_cast<PyObject*>(Py_TYPE(value)), nullptr, &size);
        for (Py_ssize_t i = 0; walked == Walk::done && !differs_ && i < size; ++i) {
            PyObject* item = is_list ? PyList_GetItem(value, i) : PyTuple_GetItem(value, i);
            walked = item ? walk(item, depth + 1) : Walk::failed;
        }
        return walked;
    }

    PyObject* stored_;
    Py_ssize_t next_ = 0;
    bool differs_ = false;
    bool identical_ = true;
};

// An image is a message's walk as words: the message's own address, then the address of
// each str and atom, and a tag of each container's kind and size (an odd number, never an
// address). A message at that address whose walk gives its image word for word is the
// object read, holding the very objects its leaves hold, in the same places: its leaves
// are those leaves, known without a comparison or a lookup in them. An image is only made
// of the object read, in a walk that `Comparer` found identical to the leaves (so every
// address in it is of an object the caller's lists keep alive), and holds only while that
// object and those leaves are the ones kept for the message.
using Word = uintptr_t;

enum class Tag : Word { dict = 1, list = 3, tuple = 5 };

Word tag(Tag kind, Py_ssize_t size) noexcept {
    return (static_cast<Word>(size) << 3) | static_cast<Word>(kind);
}

Word address(PyObject* value) noexcept { return reinterpret_cast<Word>(value); }

/// The image of a message, or false where its walk has something an image cannot stand for.
class Imager {
public:
    /// The message's own address first: it is the object read, which the caller holds.
    bool image(PyObject* message) {
        words_.push_back(address(message));
        return walk(message, 0);
    }

    const std::vector<Word>& words() const noexcept { return words_; }

private:
    bool walk(PyObject* value, int depth) {
        if (PyUnicode_CheckExact(value) || is_atom(value)) {
            words_.push_back(address(value));
            return true;
        }
        if (depth > kMaxDepth) return false;
        if (PyDict_CheckExact(value)) {
            words_.push_back(tag(Tag::dict, PyDict_Size(value)));
            Py_ssize_t position = 0;
            PyObject* key = nullptr;
            PyObject* item = nullptr;
            while (PyDict_Next(value, &position, &key, &item)) {
                if (!(PyUnicode_CheckExact(key) || is_atom(key))) return false;
                words_.push_back(address(key));
                if (!walk(item, depth + 1)) return false;
            }
            return true;
        }
        const bool is_list = PyList_CheckExact(value);
        if (!is_list && !PyTuple_CheckExact(value)) return false;
        const Py_ssize_t size = is_list ? PyList_Size(value) : PyTuple_Size(value);
        words_.push_back(tag(is_list ? Tag::list : Tag::tuple, size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = is_list ? PyList_GetItem(value, i) : PyTuple_GetItem(value, i);
            if (item == nullptr || !walk(item, depth + 1)) return false;
        }
        return true;
    }

    std::vector<Word> words_;
};

/// Whether `value` walks as `words` do, word for word. It reads containers and compares
/// addresses only: no object is made and no Python code runs.
class Matcher {
public:
    Matcher(const Word* words, size_t count) noexcept : words_(words), count_(count) {}

    bool matches(PyObject* message) noexcept {
        return expect(address(message)) && walk_read(message, 0) && next_ == count_;
    }

private:
    bool walk(PyObject* value, int depth) noexcept {
        // A str or atom at the address the image names is the one the leaves keep alive:
        // it matches without being read (no container's address is a word past the first,
        // and no tag is an address).
        if (next_ < count_ && words_[next_] == address(value)) {
            ++next_;
            return true;
        }
        return walk_read(value, depth);
    }

    bool walk_read(PyObject* value, int depth) noexcept {
        if (PyDict_CheckExact(value)) {
            const Py_ssize_t size = PyDict_Size(value);
            if (depth > kMaxDepth || !expect(tag(Tag::dict, size))) return false;
            Py_ssize_t position = 0;
            PyObject* key = nullptr;
            PyObject* item = nullptr;
            for (Py_ssize_t i = 0; i < size; ++i) {  // no call to learn that the items end
                if (!PyDict_Next(value, &position, &key, &item) || !expect(address(key)) ||
                    !walk(item, depth + 1)) {
                    return false;
                }
            }
            return true;
        }
        const bool is_list = PyList_CheckExact(value);
        if (is_list || PyTuple_CheckExact(value)) {
            const Py_ssize_t size = is_list ? PyList_Size(value) : PyTuple_Size(value);
            if (depth > kMaxDepth || !expect(tag(is_list ? Tag::list : Tag::tuple, size))) {
                return false;
            }
            for (Py_ssize_t i = 0; i < size; ++i) {
                PyObject* item = is_list ? PyList_GetItem(value, i) : PyTuple_GetItem(value, i);
                if (item == nullptr || !walk(item, depth + 1)) return false;
            }
            return true;
        }
        return expect(address(value));  // a str or atom, at the address imaged or not
    }

    bool expect(Word expected) noexcept {
        if (next_ == count_ || words_[next_] != expected) return false;
        ++next_;
        return true;
    }

    const Word* words_;
    size_t count_;
    size_t next_ = 0;
};

/// Allocation through Python's allocator, so that what a conversation holds here is counted
/// where Python's own memory is (tracemalloc sees it). Only with the GIL held, as every use
/// of a book is.
template <typename T>
struct PyMemAllocator {
    using value_type = T;
    PyMemAllocator() noexcept = default;
    template <typename U>
    PyMemAllocator(const PyMemAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void* memory = PyMem_Malloc(n * sizeof(T));
        if (memory == nullptr) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, size_t) noexcept { PyMem_Free(memory); }
    template <typename U>
    bool operator==(const PyMemAllocator<U>&) const noexcept { return true; }
};

/// The images of a reading's messages, by index, in one run of words: a check reads them
/// in order with no object in between. An image set anew leaves its old words behind until
/// they outnumber the entries and the words kept, when the words are packed again (so each
/// word left behind pays for a constant amount of packing).
class ImageBook {
public:
    /// The image of message `index`: its words and their count (0: no image).
    std::pair<const Word*, size_t> at(size_t index) const noexcept {
        if (index >= entries_.size()) return {nullptr, 0};
        const Entry& entry = entries_[index];
        return {words_.data() + entry.start, entry.size};
    }

    /// An allocation that fails throws, leaving the message with no image.
    void set(size_t index, const std::vector<Word>& words) {
        forget(index);
        // Packing reads every entry and every word kept: it waits for as many left behind.
        if (words_.size() - live_ > live_ + entries_.size() + kSlack) pack();
        if (index >= entries_.size()) entries_.resize(index + 1);
        const size_t start = words_.size();
        words_.insert(words_.end(), words.begin(), words.end());
        entries_[index] = Entry{start, words.size()};
        live_ += words.size();
    }

    void forget(size_t index) noexcept {
        if (index >= entries_.size()) return;
        live_ -= entries_[index].size;
        entries_[index].size = 0;
    }

private:
    static constexpr size_t kSlack = 4096;

    struct Entry {
        size_t start = 0;
        size_t size = 0;
    };

    void pack() {
        std::vector<Word, PyMemAllocator<Word>> packed;
        packed.reserve(live_);
        for (Entry& entry : entries_) {
            const size_t start = packed.size();
            packed.insert(packed.end(), words_.begin() + static_cast<std::ptrdiff_t>(entry.start),
                          words_.begin() + static_cast<std::ptrdiff_t>(entry.start + entry.size));
            entry.start = start;
        }
        words_.swap(packed);
    }

    std::vector<Entry, PyMemAllocator<Entry>> entries_;
    std::vector<Word, PyMemAllocator<Word>> words_;
    size_t live_ = 0;
};

struct ImagesObject {
    PyObject_HEAD
    ImageBook* book;
};

PyTypeObject* images_type = nullptr;  // made at import, kept for the process's life

ImageBook* book_of(PyObject* images) noexcept {
    if (images_type == nullptr || Py_TYPE(images) != images_type) return nullptr;
    return reinterpret_cast<ImagesObject*>(images)->book;
}

/// Whether `message` is the object imaged for message `index` and walks as that says.
bool matches_image(PyObject* message, const ImageBook& book, size_t index) noexcept {
    const auto [words, count] = book.at(index);
    return count != 0 && Matcher(words, count).matches(message);
}

/// Walks `message` against `stored` (an exact list of leaves); where done, `same` says
/// whether it has those leaves, and `identical` whether as the very objects stored.
Walk compare_leaves(PyObject* message, PyObject* stored, bool& same, bool& identical) {
    Comparer comparer(stored);
    const Walk walked = comparer.walk(message, 0);
    same = walked == Walk::done && !comparer.differs() && comparer.at_end();
    identical = same && comparer.identical();
    return walked;
}

PyObject* same_leaves_impl(PyObject* const* args) {
    if (!PyList_CheckExact(args[1])) Py_RETURN_NONE;
    bool same = false;
    bool identical = false;
    switch (compare_leaves(args[0], args[1], same, identical)) {
        case Walk::done:
            return PyBool_FromLong(same);
        case Walk::declined:
            Py_RETURN_NONE;
        case Walk::failed:
            break;
    }
    return nullptr;
}

/// Whether `message`, the object read, still has the leaves `stored`, compared, and imaged
/// as message `index` where found identical; nothing, with an exception set, where it
/// fails.
std::optional<bool> same_as_read(PyObject* message, PyObject* stored, ImageBook& book,
                                 size_t index) {
    if (!PyList_CheckExact(stored)) return false;  // leaves kept whole: Python compares
    bool same = false;
    bool identical = false;
    const Walk walked = compare_leaves(message, stored, same, identical);
    if (walked == Walk::failed) return std::nullopt;
    if (identical) {
        Imager imager;
        if (imager.image(message)) book.set(index, imager.words());
    }
    return same;  // differs, or declined
}

/// Of `indices`, those at which `history` holds another object than `objects`, or one
/// whose leaves are not `leaves`' or are not compared here: what Python checks itself.
/// `images` (an `Images`) holds the image of each message found here as read, the object
/// read and a walk identical to its leaves; the caller forgets a message's image when it
/// sets another object or other leaves for it.
PyObject* unlike_impl(PyObject* const* args) {
    PyObject* history = args[0];
    PyObject* objects = args[1];
    PyObject* leaves = args[2];
    PyObject* images = args[3];
    PyObject* indices = args[4];
    const bool is_list = PyList_CheckExact(history);
    ImageBook* book = book_of(images);
    if (!(is_list || PyTuple_CheckExact(history)) || !PyList_CheckExact(objects) ||
        !PyList_CheckExact(leaves) || book == nullptr || !PyList_CheckExact(indices)) {
        Py_RETURN_NONE;
    }
    const Py_ssize_t held = is_list ? PyList_Size(history) : PyTuple_Size(history);
    const Py_ssize_t known = PyList_Size(objects);
    if (PyList_Size(leaves) != known || held < known) Py_RETURN_NONE;
    Ref found(PyList_New(0));
    if (!found) return nullptr;
    // One index checked: false with an exception set where the check fails.
    auto check = [&](Py_ssize_t index) -> bool {
        if (index >= known) return true;  // not read yet: nothing to compare
        PyObject* const held_now = is_list ? PyList_GetItem(history, index)
                                           : PyTuple_GetItem(history, index);
        if (held_now == nullptr) return false;
        // Neither the object read, its leaves nor its strings are read where the image
        // matches: the call touches little more than the containers it walks. The match
        // reads sizes and items and nothing that can run Python code or free an object, so
        // the history's own reference holds the message through it.
        const auto at = static_cast<size_t>(index);
        if (matches_image(held_now, *book, at)) return true;
        // Held while compared: a comparison here runs no Python code, but the walk must not
        // rest on that for the message's own life.
        const Ref now = Ref::borrow(held_now);
        PyObject* stored = PyList_GetItem(leaves, index);
        bool suspect = now.get() != PyList_GetItem(objects, index);
        if (!suspect) {
            const std::optional<bool> same = same_as_read(now.get(), stored, *book, at);
            if (!same) return false;
            suspect = !*same;
        }
        if (!suspect) return true;
        Ref number(PyLong_FromSsize_t(index));
        return number && PyList_Append(found.get(), number.get()) == 0;
    };
    const Py_ssize_t asked = PyList_Size(indices);
    for (Py_ssize_t k = 0; k < asked; ++k) {
        PyObject* item = PyList_GetItem(indices, k);
        // A run (start, stop) stands for every index in it: a prompt's messages are a few
        // runs, and an index read from a list costs as much as the check it asks for.
        const bool is_run = PyTuple_CheckExact(item) && PyTuple_Size(item) == 2;
        const auto first = exact_index(is_run ? PyTuple_GetItem(item, 0) : item);
        const auto end = is_run ? exact_index(PyTuple_GetItem(item, 1))
                                : std::optional<Py_ssize_t>(first ? *first + 1 : 0);
        if (!first || !end || *first < 0) Py_RETURN_NONE;
        for (Py_ssize_t index = *first; index < std::min(*end, known); ++index) {
            if (!check(index)) return nullptr;
        }
    }
    return found.release();
}

PyObject* leaves_impl(PyObject* message) {
    Ref found(PyList_New(0));
    if (!found) return nullptr;
    switch (Walker(found.get()).walk(message, 0)) {
        case Walk::done:
            return found.release();
        case Walk::declined:
            Py_RETURN_NONE;
        case Walk::failed:
            break;
    }
    return nullptr;
}

PyObject* leaves_entry(PyObject*, PyObject* message) noexcept {
    return guarded([message] { return leaves_impl(message); });
}

/// The contents of an exact bytes object, borrowed while it lives; nothing for any other.
std::optional<std::string_view> bytes_of(PyObject* bytes) {
    if (!PyBytes_CheckExact(bytes)) return std::nullopt;
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(bytes, &data, &length) < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(data, static_cast<size_t>(length));
}

/// How many items `flags` holds: a list's length, a bytes object's; -1 for anything else.
Py_ssize_t length_of(PyObject* flags) {
    if (PyList_CheckExact(flags)) return PyList_Size(flags);
    if (PyBytes_CheckExact(flags)) return PyBytes_Size(flags);
    return -1;
}

/// Flags read where they stand: bytes of 0 and 1 in place (borrowed while the call runs,
/// no Python code running meanwhile), a list of exact bools into a copy. A compaction's
/// trials read several flags of every message many times over, and copying them first
/// cost about as much as the trial's own pass. Neither moved nor copied, so `data_` stays
/// its own.
class FlagsIn {
public:
    FlagsIn() = default;
    FlagsIn(const FlagsIn&) = delete;
    FlagsIn& operator=(const FlagsIn&) = delete;

    /// Whether `flags` is one or the other, `size` long (false: left to Python).
    bool read(PyObject* flags, Py_ssize_t size) {
        if (const auto bytes = bytes_of(flags)) {
            if (bytes->size() != static_cast<size_t>(size)) return false;
            data_ = bytes->data();
            return std::all_of(bytes->begin(), bytes->end(),
                               [](char flag) { return flag == 0 || flag == 1; });
        }
        if (!PyList_CheckExact(flags) || PyList_Size(flags) != size) return false;
        owned_.resize(static_cast<size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = PyList_GetItem(flags, i);
            if (item != Py_True && item != Py_False) return false;
            owned_[static_cast<size_t>(i)] = item == Py_True;
        }
        data_ = owned_.data();
        return true;
    }

    bool operator[](size_t i) const { return data_[i] != 0; }

private:
    std::vector<char> owned_;
    const char* data_ = nullptr;
};

/// Native 64-bit ints read where they stand: array('q') bytes in place, an exact list of
/// ints into a copy (neither moved nor copied, as the flags). Each item is loaded by
/// memcpy: a bytes object's buffer holds chars, not int64_t objects.
class NumbersIn {
public:
    NumbersIn() = default;
    NumbersIn(const NumbersIn&) = delete;
    NumbersIn& operator=(const NumbersIn&) = delete;

    /// Whether `numbers` is one or the other, `size` long (false: left to Python).
    bool read(PyObject* numbers, Py_ssize_t size) {
        if (size < 0) return false;
        const auto n = static_cast<size_t>(size);
        if (const auto bytes = bytes_of(numbers)) {
            data_ = bytes->data();
            return bytes->size() == n * sizeof(int64_t);
        }
        if (!PyList_CheckExact(numbers) || PyList_Size(numbers) != size) return false;
        owned_.resize(n);
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = PyList_GetItem(numbers, i);
            if (!PyLong_CheckExact(item)) return false;
            const long long number = PyLong_AsLongLong(item);
            if (number == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            owned_[static_cast<size_t>(i)] = number;
        }
        data_ = reinterpret_cast<const char*>(owned_.data());
        return true;
    }

    int64_t operator[](size_t i) const {
        int64_t number = 0;
        std::memcpy(&number, data_ + i * sizeof(int64_t), sizeof(int64_t));
        return number;
    }

private:
    std::vector<int64_t> owned_;
    const char* data_ = nullptr;
};

PyObject* units_gone_impl(PyObject* const* args) {
    const Py_ssize_t turns = PyLong_AsSsize_t(args[7]);
    const Py_ssize_t rounds = PyLong_AsSsize_t(args[8]);
    if ((turns == -1 || rounds == -1) && PyErr_Occurred()) return nullptr;
    const Py_ssize_t size = length_of(args[0]);
    if (size < 0 || turns < 0 || rounds < 0) Py_RETURN_NONE;
    FlagsIn staying, asking, movable, not_alone, bare;
    NumbersIn turn_of, round_of;
    if (!staying.read(args[0], size) || !asking.read(args[1], size) ||
        !movable.read(args[2], size) || !not_alone.read(args[3], size) ||
        !bare.read(args[4], size) || !turn_of.read(args[5], size) ||
        !round_of.read(args[6], size)) {
        Py_RETURN_NONE;
    }
    // A unit lives while one of its movable messages stays; "in no unit" (-1, read as the
    // last entry) always lives.
    std::vector<char> turn_alive(static_cast<size_t>(turns) + 1, 0);
    std::vector<char> round_alive(static_cast<size_t>(rounds) + 1, 0);
    turn_alive.back() = round_alive.back() = 1;
    const auto slot = [](int64_t number, Py_ssize_t units) {
        return static_cast<size_t>(number < 0 ? units : number);
    };
    const auto n = static_cast<size_t>(size);
    for (size_t i = 0; i < n; ++i) {
        const int64_t turn = turn_of[i], round = round_of[i];
        if (turn < -1 || turn >= turns || round < -1 || round >= rounds) Py_RETURN_NONE;
        if (staying[i] && movable[i]) {
            turn_alive[slot(turn, turns)] = 1;
            round_alive[slot(round, rounds)] = 1;
        }
    }
    Ref gone(PyBytes_FromStringAndSize(nullptr, size));
    if (!gone) return nullptr;
    char* out = PyBytes_AsString(gone.get());
    if (out == nullptr) return nullptr;
    for (size_t i = 0; i < n; ++i) {
        const bool dead = !turn_alive[slot(turn_of[i], turns)] ||
                          !round_alive[slot(round_of[i], rounds)];
        out[i] = static_cast<char>(not_alone[i] && !(bare[i] && asking[i]) && dead);
    }
    return gone.release();
}

PyObject* unit_numbers_impl(PyObject* const* args) {
    PyObject* starts = args[0];
    PyObject* stops = args[1];
    const auto size = exact_index(args[2]);
    constexpr Py_ssize_t most = PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(int64_t));
    if (!PyList_CheckExact(starts) || !PyList_CheckExact(stops) ||
        PyList_Size(starts) != PyList_Size(stops) || !size || *size < 0 || *size > most) {
        Py_RETURN_NONE;
    }
    Ref numbers(PyBytes_FromStringAndSize(nullptr, *size * static_cast<Py_ssize_t>(sizeof(int64_t))));
    if (!numbers) return nullptr;
    char* out = PyBytes_AsString(numbers.get());
    if (out == nullptr) return nullptr;
    const auto put = [out](Py_ssize_t from, Py_ssize_t to, int64_t number) {
        for (Py_ssize_t i = from; i < to; ++i) {
            std::memcpy(out + i * static_cast<Py_ssize_t>(sizeof(int64_t)), &number, sizeof(number));
        }
    };
    // Units in order and apart, as a layout finds them: where one overlaps the one before,
    // the numbering is Python's, whose later unit wins.
    Py_ssize_t reached = 0;
    const Py_ssize_t listed = PyList_Size(starts);
    for (Py_ssize_t k = 0; k < listed; ++k) {
        const auto start = exact_index(PyList_GetItem(starts, k));
        const auto end = exact_index(PyList_GetItem(stops, k));
        if (!start || !end || *start < reached || *end < *start || *end > *size) Py_RETURN_NONE;
        put(reached, *start, -1);
        put(*start, *end, k);
        reached = *end;
    }
    put(reached, *size, -1);
    return numbers.release();
}

/// A list's items, or packed ints, as counts of at most `limit` each, or nothing where one
/// is anything else (a sum of `size` of them then stays far inside 64 bits).
std::optional<std::vector<int64_t>> counts_of(PyObject* list, Py_ssize_t size, int64_t limit) {
    NumbersIn numbers;
    if (!numbers.read(list, size)) return std::nullopt;
    std::vector<int64_t> counts(static_cast<size_t>(size));
    for (size_t i = 0; i < counts.size(); ++i) {
        counts[i] = numbers[i];
        if (counts[i] < 0 || counts[i] > limit) return std::nullopt;
    }
    return counts;
}

constexpr int64_t kMostTokens = int64_t{1} << 40;  // per message; Python sums any more

/// A list of `n` new references to `flag(i)` objects.
template <typename Flag>
PyObject* list_of(size_t n, Flag&& flag) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (size_t i = 0; i < n; ++i) {
        PyObject* item = flag(i);
        Py_INCREF(item);
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
    }
    return list.release();
}

PyObject* fates_impl(PyObject* const* args) {
    const Py_ssize_t size = length_of(args[0]);
    if (size < 0) Py_RETURN_NONE;
    FlagsIn gone, alive, whole_kind;
    NumbersIn sizes;
    if (!gone.read(args[0], size) || !alive.read(args[1], size) ||
        !whole_kind.read(args[2], size) || !sizes.read(args[3], size)) {
        Py_RETURN_NONE;
    }
    const auto n = static_cast<size_t>(size);
    // The fates as a bytearray and which stay whole as bytes: a trial's plan changes its
    // fates where it elides, and a list of ints per message, made at every trial and let
    // go at the next, cost more than the trial's pass itself.
    Ref fates(PyByteArray_FromStringAndSize(nullptr, size));
    Ref whole(PyBytes_FromStringAndSize(nullptr, size));
    Ref shortened(PyList_New(0));
    if (!fates || !whole || !shortened) return nullptr;
    char* fate = PyByteArray_AsString(fates.get());
    char* kept = PyBytes_AsString(whole.get());
    if (fate == nullptr || kept == nullptr) return nullptr;
    int64_t total = 0;
    for (size_t i = 0; i < n; ++i) {
        const bool stays = !gone[i];
        fate[i] = static_cast<char>(stays);
        kept[i] = static_cast<char>(stays && (alive[i] || whole_kind[i]));
        const int64_t tokens = sizes[i];
        if (tokens < 0 || tokens > kMostTokens) Py_RETURN_NONE;
        if (kept[i]) {
            total += tokens;
        } else if (stays) {
            Ref index(PyLong_FromSize_t(i));
            if (!index || PyList_Append(shortened.get(), index.get()) < 0) return nullptr;
        }
    }
    Ref sum(PyLong_FromLongLong(total));
    if (!sum) return nullptr;
    return PyTuple_Pack(4, fates.get(), whole.get(), sum.get(), shortened.get());
}

PyObject* dropped_between_impl(PyObject* const* args) {
    PyObject* bounds_list = args[1];
    PyObject* numbers = args[2];
    const Py_ssize_t size = length_of(args[0]);
    if (size < 0 || !PyList_CheckExact(bounds_list) || !PyList_CheckExact(numbers)) {
        Py_RETURN_NONE;
    }
    if (PyList_Size(numbers) < size) Py_RETURN_NONE;
    // Flags of the dropped; a bound an int from -1 to len(dropped), ascending.
    FlagsIn dropped;
    if (!dropped.read(args[0], size)) Py_RETURN_NONE;
    const Py_ssize_t marks = PyList_Size(bounds_list);
    std::vector<Py_ssize_t> bounds(static_cast<size_t>(marks));
    for (Py_ssize_t k = 0; k < marks; ++k) {
        const auto bound = exact_index(PyList_GetItem(bounds_list, k));
        if (!bound || *bound < -1 || *bound > size ||
            (k > 0 && *bound < bounds[static_cast<size_t>(k - 1)])) {
            Py_RETURN_NONE;
        }
        bounds[static_cast<size_t>(k)] = *bound;
    }
    Ref spans(PyList_New(marks > 0 ? marks - 1 : 0));
    if (!spans) return nullptr;
    std::vector<Py_ssize_t> found;
    for (Py_ssize_t k = 0; k + 1 < marks; ++k) {
        found.clear();
        for (Py_ssize_t i = bounds[static_cast<size_t>(k)] + 1;
             i < bounds[static_cast<size_t>(k + 1)]; ++i) {
            if (dropped[static_cast<size_t>(i)]) found.push_back(i);
        }
        Ref span(PyTuple_New(static_cast<Py_ssize_t>(found.size())));
        if (!span) return nullptr;
        for (size_t j = 0; j < found.size(); ++j) {
            // The caller's own int for the index, where it is one: a long history's
            // stretch would otherwise make thousands of ints at every trial.
            PyObject* index = PyList_GetItem(numbers, found[j]);
            if (exact_index(index) == found[j]) {
                Py_INCREF(index);
            } else {
                index = PyLong_FromSsize_t(found[j]);
                if (!index) return nullptr;
            }
            if (PyTuple_SetItem(span.get(), static_cast<Py_ssize_t>(j), index) < 0) {
                return nullptr;
            }
        }
        if (PyList_SetItem(spans.get(), k, span.release()) < 0) return nullptr;
    }
    return spans.release();
}

/// A Python float that is exactly a single-precision one, as that float.
std::optional<float> exact_float(PyObject* number) {
    if (!PyFloat_CheckExact(number)) return std::nullopt;
    const double value = PyFloat_AsDouble(number);
    const auto narrowed = static_cast<float>(value);
    if (static_cast<double>(narrowed) != value && !(value != value)) return std::nullopt;
    return narrowed;
}

PyObject* alive_at_impl(PyObject* const* args) {
    const Py_ssize_t size = length_of(args[4]);
    if (size < 0) Py_RETURN_NONE;
    const auto classes = counts_of(args[0], size, int64_t{UINT32_MAX});
    const auto half_life = exact_float(args[1]), threshold = exact_float(args[2]);
    const auto prefix = exact_index(args[3]);
    FlagsIn marked;
    if (!classes || !half_life || !threshold || !prefix || *prefix < 0 ||
        !marked.read(args[4], size)) {
        Py_RETURN_NONE;
    }
    // The kernel decides by position and class alone: the classes dehydrate() reads,
    // without the texts it would only hand back.
    const std::vector<SignalFlags> flags(classes->begin(), classes->end());
    DehydrateParams params{};
    params.half_life = effective_half_life(*half_life);
    params.safe_threshold = *threshold;
    params.stable_prefix = static_cast<uint64_t>(*prefix);
    Ref alive(PyBytes_FromStringAndSize(nullptr, size));
    if (!alive) return nullptr;
    auto* decided = reinterpret_cast<uint8_t*>(PyBytes_AsString(alive.get()));
    if (decided == nullptr) return nullptr;
    one_pass_decisions(flags, params, std::span<uint8_t>(decided, static_cast<size_t>(size)));
    for (size_t k = 0; k < flags.size(); ++k) decided[k] |= static_cast<uint8_t>(marked[k]);
    return alive.release();
}

PyObject* far_values_impl(PyObject* const* args) {
    std::vector<std::string_view> views;
    const std::optional<bool> ascii = ascii_views(args[0], views, "far_values() takes a list of str");
    if (!ascii) return nullptr;
    const auto least = exact_index(args[1]);
    if (!*ascii || !least || *least < 0 || !PyFloat_CheckExact(args[2])) Py_RETURN_NONE;
    const auto far = lookup_far_values(views, static_cast<size_t>(*least), PyFloat_AsDouble(args[2]));
    if (!far) Py_RETURN_NONE;
    return list_of(far->size(), [&far](size_t i) { return (*far)[i] ? Py_True : Py_False; });
}

PyObject* pointed_impl(PyObject* const* args) {
    PyObject* lists = args[0];
    PyObject* weights = args[1];
    if (!PyList_CheckExact(lists) || !PyList_CheckExact(weights) ||
        PyList_Size(lists) != PyList_Size(weights) || !PyFloat_CheckExact(args[2]) ||
        !PyFloat_CheckExact(args[3])) {
        Py_RETURN_NONE;
    }
    const Py_ssize_t words = PyList_Size(lists);
    std::vector<std::vector<int64_t>> holders;
    std::vector<double> weighed;
    holders.reserve(static_cast<size_t>(words));
    weighed.reserve(static_cast<size_t>(words));
    for (Py_ssize_t k = 0; k < words; ++k) {
        PyObject* weight = PyList_GetItem(weights, k);
        if (weight == nullptr || !PyFloat_CheckExact(weight)) Py_RETURN_NONE;
        PyObject* list = PyList_GetItem(lists, k);
        auto held = counts_of(list, length_of(list), INT64_MAX);
        if (!held) Py_RETURN_NONE;
        holders.push_back(std::move(*held));
        weighed.push_back(PyFloat_AsDouble(weight));
    }
    const std::vector<Pointed> found = pointed(holders, weighed, PyFloat_AsDouble(args[2]),
                                               PyFloat_AsDouble(args[3]));
    return pairs_to_list(found, [](const Pointed& sum) {
        return std::pair(sum.weight, sum.message);
    });
}

PyObject* images_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    if ((args != nullptr && PyTuple_Size(args) != 0) ||
        (kwargs != nullptr && PyDict_Size(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Images() takes no arguments");
        return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* book = new (std::nothrow) ImageBook();
    if (book == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    reinterpret_cast<ImagesObject*>(self)->book = book;
    return self;
}

void images_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<ImagesObject*>(self)->book;
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);  // an instance of a heap type holds its type
}

int images_contains(PyObject* self, PyObject* number) noexcept {
    const auto index = exact_index(number);
    if (!index || *index < 0) return 0;
    const ImageBook* book = reinterpret_cast<ImagesObject*>(self)->book;
    return book->at(static_cast<size_t>(*index)).second != 0 ? 1 : 0;
}

PyObject* images_forget(PyObject* self, PyObject* number) noexcept {
    const auto index = exact_index(number);
    if (!index || *index < 0) {
        PyErr_SetString(PyExc_TypeError, "forget() takes an int index of 0 or more");
        return nullptr;
    }
    reinterpret_cast<ImagesObject*>(self)->book->forget(static_cast<size_t>(*index));
    Py_RETURN_NONE;
}

PyMethodDef images_methods[] = {
    {"forget", images_forget, METH_O,
     "forget(index, /)\n--\n\nDrop the image of message index, if it has one."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot images_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(images_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(images_dealloc)},
    {Py_tp_methods, images_methods},
    {Py_sq_contains, reinterpret_cast<void*>(images_contains)},
    {Py_tp_doc, const_cast<char*>(
                    "Images()\n--\n\n"
                    "The images unlike() makes of a reading's messages, by index; index in\n"
                    "images says whether message index has one.")},
    {0, nullptr},
};

PyType_Spec images_spec = {
    "quorvex_chat._native.Images",
    static_cast<int>(sizeof(ImagesObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    images_slots,
};

PyMethodDef methods[] = {
    {"line_scores", line_scores_entry, METH_O,
     "line_scores(lines, /)\n--\n\n"
     "(score, index) of the lines of score above zero, most notable first, as\n"
     "quorvex_chat._notable scores them; None when a line is not ASCII."},
    {"count_tokens", count_tokens_entry, METH_O,
     "count_tokens(text, /)\n--\n\n"
     "quorvex_chat's default token count of text, as _counting reads it in Python;\n"
     "None when text has no UTF-8 form (a lone surrogate)."},
    {"count_tokens_many", count_tokens_many_entry, METH_O,
     "count_tokens_many(texts, /)\n--\n\n"
     "[count_tokens(text) for text in texts], for an exact list of str, in one call."},
    {"same_leaves",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(fastcall<"same_leaves", 2, same_leaves_impl>)),
     METH_FASTCALL,
     "same_leaves(message, leaves, /)\n--\n\n"
     "leaves(message) == leaves without making the list; None where leaves(message)\n"
     "would decline, or leaves is not an exact list."},
    {"units_gone",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(fastcall<"units_gone", 9, units_gone_impl>)),
     METH_FASTCALL,
     "units_gone(staying, asking, movable, not_alone, bare, turn_of, round_of, turns,\n"
     "           rounds, /)\n--\n\n"
     "Per message, whether it goes with a unit of which no movable message stays (bytes\n"
     "of 0 and 1): not alone, not a bare request still asking, and in a turn or a call\n"
     "round (numbered below turns and rounds; -1: none) with nothing staying. None unless\n"
     "the flags are exact lists of bools or bytes of 0 and 1, the numbers exact lists of\n"
     "ints or array('q') bytes, in range and as long as staying."},
    {"unit_numbers",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(fastcall<"unit_numbers", 3, unit_numbers_impl>)),
     METH_FASTCALL,
     "unit_numbers(starts, stops, size, /)\n--\n\n"
     "Per message of size, the number k of the unit from starts[k] to stops[k] holding it,\n"
     "or -1, as array('q') bytes. None unless starts and stops are exact lists of ints as\n"
     "long as each other, their units in order and apart, within size."},
    {"alive_at",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(fastcall<"alive_at", 5, alive_at_impl>)),
     METH_FASTCALL,
     "alive_at(classes, half_life, threshold, stable_prefix, marked, /)\n--\n\n"
     "Per message of these class flags, 1 where quorvex_micro.dehydrate keeps it at\n"
     "half_life and threshold or marked holds 1, else 0, as bytes. None unless classes is\n"
     "an exact list of ints below 2**32 or their array('q') bytes, half_life and threshold\n"
     "floats of single precision, stable_prefix an int >= 0 and marked flags (an exact\n"
     "list of bools or bytes of 0 and 1) as long as classes."},
    {"fates",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(fastcall<"fates", 4, fates_impl>)),
     METH_FASTCALL,
     "fates(gone, alive, whole_kind, sizes, /)\n--\n\n"
     "(fates, whole, total, shortened) of a trial: per message 0 where it goes, else 1\n"
     "(a bytearray); 1 where it stays whole (it stays, and it is alive or of a kind kept\n"
     "whole), as bytes; the sum of sizes of those whole; the indices of those that stay\n"
     "shortened. None unless the flags are exact lists of bools or bytes of 0 and 1, and\n"
     "the sizes an exact list of ints or array('q') bytes, from 0 to 2**40, all as long\n"
     "as gone."},
    {"dropped_between",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(fastcall<"dropped_between", 3, dropped_between_impl>)),
     METH_FASTCALL,
     "dropped_between(dropped, bounds, numbers, /)\n--\n\n"
     "For each two bounds in turn, the tuple of indices strictly between them where\n"
     "dropped holds 1, each numbers[index] where that is the int index. None unless\n"
     "dropped is an exact list of bools or bytes of 0 and 1, bounds an exact list of\n"
     "ascending ints from -1 to len(dropped), and numbers an exact list at least as long\n"
     "as dropped."},
    {"terms", terms_entry, METH_O,
     "terms(text, /)\n--\n\n"
     "quorvex_chat._lookup.terms(text) for an ASCII text; None for any other."},
    {"pointed",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(fastcall<"pointed", 4, pointed_impl>)),
     METH_FASTCALL,
     "pointed(holders, weights, cover, least, /)\n--\n\n"
     "quorvex_chat._lookup._pointed(holders, weights, cover) with least for its\n"
     "MIN_SCORE, its pairs in another order; None unless holders is an exact list of exact\n"
     "lists of ints from 0, weights an exact list of floats as long, and cover and least\n"
     "floats."},
    {"far_values",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(fastcall<"far_values", 3, far_values_impl>)),
     METH_FASTCALL,
     "far_values(lines, least, far, /)\n--\n\n"
     "quorvex_chat._lookup._far_values(lines) for ASCII lines, with least and far for its\n"
     "_FIELD_LINES and _FAR; None for any other, or unless least is an int from 0 and far\n"
     "a float."},
    {"unlike",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(fastcall<"unlike", 5, unlike_impl>)),
     METH_FASTCALL,
     "unlike(history, objects, leaves, images, indices, /)\n--\n\n"
     "Those of indices (ints, or (start, stop) tuples for every index from start to\n"
     "stop; those from len(objects) on are passed over) at which history holds another\n"
     "object than objects, or one whose leaves are not leaves' or that same_leaves\n"
     "declines; None\n"
     "unless history is an exact list or tuple at least as long as objects, objects and\n"
     "leaves exact lists of one length, images an Images and indices an exact list.\n"
     "images is written here: a message's image must be forgotten when its object or\n"
     "leaves are set anew."},
    {"leaves", leaves_entry, METH_O,
     "leaves(message, /)\n--\n\n"
     "quorvex_chat._reading.leaves(message) for a message of exact dict, list, tuple,\n"
     "str, int, float, bool, bytes and None; None when anything else is in it."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
    process_hash_key();  // draw the key at import, not inside the first call
    if (images_type == nullptr) {
        images_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&images_spec));
        if (images_type == nullptr) return -1;
    }
    Py_INCREF(images_type);
    if (PyModule_AddObject(module, "Images", reinterpret_cast<PyObject*>(images_type)) < 0) {
        Py_DECREF(images_type);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvex_chat._native",
    "Native helpers of quorvex_chat (private).",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace qm

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&qm::module_def); }
