// The module definition, its init entry and the exec step that registers the
// classes, functions and constants in their fixed order.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "common/hash_key.h"
#include "context/signal_class.h"
#include "docstrings.h"
#include "errors.h"
#include "messages.h"
#include "pyref.h"
#include "registry.h"

namespace qm {
namespace {

struct ClassEntry {
    const char* name;
    PyTypeObject* (*type)() noexcept;
};

// Registration tables, in the order the attributes are added to the module.
// Each ends with a null entry.
#define QM_CLASS_ENTRY(name, accessor) {#name, accessor},
const ClassEntry kClasses[] = {
    QM_MODULE_CLASSES(QM_CLASS_ENTRY){nullptr, nullptr},
};
#undef QM_CLASS_ENTRY

#define QM_FUNCTION_ENTRY(name) &name##_def,
PyMethodDef* const kFunctions[] = {
    QM_MODULE_FUNCTIONS(QM_FUNCTION_ENTRY) nullptr,
};
#undef QM_FUNCTION_ENTRY

struct ConstantEntry {
    const char* name;
    uint32_t value;
};

const ConstantEntry kConstants[] = {
    {"SYSTEM", kSystem}, {"USER", kUser}, {"ASSISTANT", kAssistant},
    {"FACT", kFact},     {"TOOL", kTool}, {"THINKING", kThinking},
};

/// Adds `value` as attribute `name`, first appending the name to `__all__`.
int add_attribute(PyObject* module, const char* name, PyObject* value) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        set_not_instance_error(all.get(), "list");
        return -1;
    }
    Ref key(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) {
        PyErr_Clear();
        if (PyObject* panic = panic_exception_type()) {
            PyErr_SetString(panic, msg::kAllNotExtended);
        }
        return -1;
    }
    return PyObject_SetAttrString(module, name, value);
}

int add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    Ref function(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) return -1;
    Ref name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) {
        set_not_instance_error(name.get(), "str");
        return -1;
    }
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (utf8 == nullptr) return -1;
    return add_attribute(module, utf8, function.get());
}

int add_new_object(PyObject* module, const char* name, PyObject* owned) {
    Ref value(owned);
    if (!value) return -1;
    return add_attribute(module, name, value.get());
}

int exec_module(PyObject* module) noexcept {
    if (!PyModule_Check(module)) {
        set_not_instance_error(module, "module");
        return -1;
    }
    process_hash_key();  // draw the hash-set key now, not inside the first kernel call
    for (const ClassEntry* entry = kClasses; entry->name != nullptr; ++entry) {
        PyTypeObject* type = entry->type();
        if (type == nullptr) return -1;
        if (add_attribute(module, entry->name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
    }
    for (PyMethodDef* const* def = kFunctions; *def != nullptr; ++def) {
        if (add_function(module, *def) < 0) return -1;
    }
    for (const ConstantEntry& constant : kConstants) {
        if (add_new_object(module, constant.name, PyLong_FromUnsignedLong(constant.value)) < 0) {
            return -1;
        }
    }
    if (add_new_object(module, "__doc__", PyUnicode_FromString(doc::kModule)) < 0) return -1;
    if (add_new_object(module, "__version__", PyUnicode_FromString(doc::kVersion)) < 0) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvex_micro",
    doc::kModuleDefinition,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace qm

PyMODINIT_FUNC PyInit_quorvex_micro(void) { return PyModuleDef_Init(&qm::module_def); }
