"""Cost of one HormonalBus deposit from Python, beside a no-op builtin of the same
calling convention.

The baseline is a tiny C extension compiled here with the system compiler: a
METH_VARARGS | METH_KEYWORDS function under the same stable ABI that binds two
arguments, releases and retakes the interpreter lock, and returns None. What a
deposit costs beyond it is argument conversion, the access counter and the
lock-free updates themselves.

    python benchmarks/bench_bus.py
"""

import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import timeit

import quorvex_micro as qm

BASELINE_SOURCE = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject* noop(PyObject* self, PyObject* args, PyObject* kwargs) {
    (void)self;
    Py_ssize_t n = PyTuple_Size(args);
    if (n < 0) return NULL;
    if (n > 2) {
        PyErr_SetString(PyExc_TypeError, "noop() takes 2 positional arguments");
        return NULL;
    }
    PyObject* a = n > 0 ? PyTuple_GetItem(args, 0) : NULL;
    PyObject* b = n > 1 ? PyTuple_GetItem(args, 1) : NULL;
    if (kwargs != NULL && PyDict_Size(kwargs) > 0) {
        if (a == NULL) a = PyDict_GetItemString(kwargs, "flags");
        if (b == NULL) b = PyDict_GetItemString(kwargs, "intensity");
    }
    if (a == NULL || b == NULL) {
        PyErr_SetString(PyExc_TypeError, "noop() missing arguments");
        return NULL;
    }
    Py_BEGIN_ALLOW_THREADS
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"noop", (PyCFunction)(void (*)(void))noop, METH_VARARGS | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "bench_noop", NULL, 0, methods};

PyMODINIT_FUNC PyInit_bench_noop(void) { return PyModule_Create(&def); }
"""


def build_baseline(directory):
    """Compiles the no-op extension into `directory` and imports it."""
    source = os.path.join(directory, "bench_noop.c")
    with open(source, "w") as f:
        f.write(BASELINE_SOURCE)
    target = os.path.join(directory, "bench_noop" + importlib.machinery.EXTENSION_SUFFIXES[0])
    compiler = os.environ.get("CC") or shutil.which("cc") or "gcc"
    command = [
        compiler, "-shared", "-fPIC", "-O2", "-DPy_LIMITED_API=0x030A0000",
        "-I" + sysconfig.get_paths()["include"], source, "-o", target,
    ]
    subprocess.run(command, check=True)
    loaded = importlib.util.spec_from_file_location("bench_noop", target)
    module = importlib.util.module_from_spec(loaded)
    loaded.loader.exec_module(module)
    return module


def ns_per_call(statement, namespace, number, repeat):
    """Best of `repeat` runs, in nanoseconds per call."""
    timer = timeit.Timer(statement, globals=namespace)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main(number=200_000, repeat=5):
    with tempfile.TemporaryDirectory() as directory:
        noop = build_baseline(directory).noop

        full = qm.HormonalBus()  # its 4096-event buffer fills at once: offers are refused
        roomy = qm.HormonalBus(32, number * repeat)  # every offer is stored
        signal = qm.HormonalSignal(1, 0.5)
        rows = [
            ("no-op builtin f(1, 0.5)", "f(1, 0.5)", {"f": noop}),
            ("secrete(1, 0.5), buffer full", "f(1, 0.5)", {"f": full.secrete}),
            ("secrete(1, 0.5), buffer storing", "f(1, 0.5)", {"f": roomy.secrete}),
            ("inject(signal), buffer full", "f(s)", {"f": full.inject, "s": signal}),
            ("sense(1)", "f(1)", {"f": full.sense}),
        ]
        for _, statement, namespace in rows:  # warm-up
            ns_per_call(statement, namespace, 10_000, 1)
        roomy.drain_events(2**64 - 1)

        results = [(label, ns_per_call(stmt, ns, number, repeat)) for label, stmt, ns in rows]

    baseline = results[0][1]
    print(f"{'call':<34}{'ns/call':>10}{'x no-op':>10}")
    for label, ns in results:
        print(f"{label:<34}{ns:>10.1f}{ns / baseline:>10.2f}")
    return results


if __name__ == "__main__":
    main()
    sys.exit(0)
