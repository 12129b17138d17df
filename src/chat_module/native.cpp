// quorvex_chat._native: the chat layer's private native helpers. The line scores
// of text/line_stats behind one function; the chat layer keeps its Python code for
// whatever this declines (non-ASCII lines) and for builds without this module.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "common/hash_key.h"
#include "module/pyref.h"
#include "text/line_stats.h"

namespace qm {
namespace {

/// The scores as a list of (score, index) tuples.
PyObject* scores_to_list(const std::vector<LineScore>& scores) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(scores.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < scores.size(); ++i) {
        Ref score(PyFloat_FromDouble(scores[i].score));
        Ref index(PyLong_FromSize_t(scores[i].index));
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

PyObject* line_scores_impl(PyObject* lines) {
    if (!PyList_Check(lines)) {
        PyErr_SetString(PyExc_TypeError, "line_scores() takes a list of str");
        return nullptr;
    }
    const Py_ssize_t count = PyList_Size(lines);
    std::vector<std::string_view> views;
    views.reserve(static_cast<size_t>(count));
    // The views point into the strings' own buffers: no Python code runs until the
    // scores are made, so the list and its strings stay as they are.
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* line = PyList_GetItem(lines, i);
        if (line == nullptr) return nullptr;
        if (!PyUnicode_Check(line)) {
            PyErr_SetString(PyExc_TypeError, "line_scores() takes a list of str");
            return nullptr;
        }
        // An ASCII string is its own UTF-8 and lends its buffer; any other gets a UTF-8
        // copy cached on it, only for the one line that makes the call decline, and a
        // string with no UTF-8 form (a lone surrogate) is declined as well.
        const Py_ssize_t length = PyUnicode_GetLength(line);
        if (length < 0) return nullptr;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(line, &size);
        if (utf8 == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        if (size != length) Py_RETURN_NONE;
        views.emplace_back(utf8, static_cast<size_t>(size));
    }
    const std::optional<std::vector<LineScore>> scores = line_scores(views);
    if (!scores) Py_RETURN_NONE;
    return scores_to_list(*scores);
}

PyObject* line_scores_entry(PyObject*, PyObject* lines) noexcept {
    try {
        return line_scores_impl(lines);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown native exception");
    }
    return nullptr;
}

PyMethodDef methods[] = {
    {"line_scores", line_scores_entry, METH_O,
     "line_scores(lines, /)\n--\n\n"
     "(score, index) of the lines of score above zero, most notable first, as\n"
     "quorvex_chat._notable scores them; None when a line is not ASCII."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject*) noexcept {
    process_hash_key();  // draw the key at import, not inside the first call
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
