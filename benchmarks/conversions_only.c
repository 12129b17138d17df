/* The floor under dehydrate: a function that does only the conversions dehydrate
 * cannot avoid, and nothing else. Built by bench_dehydrate.py into a temporary
 * directory under the same stable ABI; never part of the module.
 *
 * convert(messages, keep) walks the list, checks that every item is a (str, int)
 * pair, copies each text's UTF-8 into one arena, converts each flags word to an
 * unsigned 32-bit value with the same overflow check, and returns a new list of
 * new str made from the arena for the messages whose byte in `keep` is non-zero.
 * `keep` is the decision dehydrate makes on the same history, computed once by the
 * caller, so both functions build the same result strings. There is no decision
 * pass, no audit, no result dict and no release of the interpreter lock.
 *
 * The arena and the flags array are reused from call to call, as dehydrate reuses
 * its per-thread batch. Errors are plain (no notes): error paths are not timed.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
    size_t offset;
    size_t size;
    uint32_t flags;
} entry;

static char* arena;
static size_t arena_capacity;
static entry* entries;
static size_t entries_capacity;

static int grow(void** buffer, size_t* capacity, size_t needed, size_t unit) {
    size_t wanted = *capacity ? *capacity : 64;
    while (wanted < needed) wanted *= 2;
    void* grown = realloc(*buffer, wanted * unit);
    if (grown == NULL) {
        PyErr_NoMemory();
        return -1;
    }
    *buffer = grown;
    *capacity = wanted;
    return 0;
}

static PyObject* convert(PyObject* self, PyObject* args) {
    PyObject* messages;
    const char* keep;
    Py_ssize_t keep_size;
    (void)self;
    if (!PyArg_ParseTuple(args, "O!y#", &PyList_Type, &messages, &keep, &keep_size)) return NULL;
    Py_ssize_t n = PyList_Size(messages);
    if (keep_size != n) {
        PyErr_SetString(PyExc_ValueError, "keep must hold one byte per message");
        return NULL;
    }
    if ((size_t)n > entries_capacity &&
        grow((void**)&entries, &entries_capacity, (size_t)n, sizeof(entry)) < 0)
        return NULL;

    size_t used = 0;
    Py_ssize_t kept = 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PyList_GetItem(messages, k);
        if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "expected a (str, int) tuple");
            return NULL;
        }
        PyObject* text = PyTuple_GetItem(item, 0);
        PyObject* flags = PyTuple_GetItem(item, 1);
        if (!PyUnicode_Check(text) || !PyLong_Check(flags)) {
            PyErr_SetString(PyExc_TypeError, "expected a (str, int) tuple");
            return NULL;
        }
        Py_ssize_t size;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
        if (utf8 == NULL) return NULL;
        unsigned long long value = PyLong_AsUnsignedLongLong(flags);
        if (value == (unsigned long long)-1 && PyErr_Occurred()) return NULL;
        if (value > UINT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return NULL;
        }
        if (used + (size_t)size > arena_capacity &&
            grow((void**)&arena, &arena_capacity, used + (size_t)size, 1) < 0)
            return NULL;
        memcpy(arena + used, utf8, (size_t)size);
        entries[k].offset = used;
        entries[k].size = (size_t)size;
        entries[k].flags = (uint32_t)value;
        used += (size_t)size;
        kept += keep[k] != 0;
    }

    PyObject* result = PyList_New(kept);
    if (result == NULL) return NULL;
    Py_ssize_t slot = 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (!keep[k]) continue;
        PyObject* copy = PyUnicode_DecodeUTF8(arena + entries[k].offset,
                                              (Py_ssize_t)entries[k].size, "strict");
        if (copy == NULL || PyList_SetItem(result, slot++, copy) < 0) {
            Py_DECREF(result);
            return NULL;
        }
    }
    return result;
}

static PyMethodDef methods[] = {
    {"convert", convert, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "conversions_only", NULL, 0, methods,
                                 NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_conversions_only(void) { return PyModule_Create(&def); }
