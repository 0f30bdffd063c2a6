// The extension module _quillmere: multi-phase initialisation that adds the two classes.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "batch_result.hpp"
#include "errors.hpp"
#include "model.hpp"
#include "ref.hpp"

namespace quillmere::python {
namespace {

// Appends `name` to the module's __all__ (made on first use), then sets the attribute.
int add_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return -1;
    PyObject* dict = PyModule_GetDict(module);
    PyObject* all = PyDict_GetItemString(dict, "__all__");
    Ref made;
    if (all == nullptr) {
        made = Ref::steal(PyList_New(0));
        if (!made || PyDict_SetItemString(dict, "__all__", made.get()) < 0) return -1;
        all = made.get();
    }
    if (!PyList_Check(all)) {
        PyErr_SetString(PyExc_TypeError, "__all__ of the module is not a list");
        return -1;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all, text.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) noexcept {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'module'",
                     Py_TYPE(module)->tp_name);
        return -1;
    }
    return run_guarded(
        [&] {
            if (add_class(module, "PowerFlowModel", model_type()) < 0) return -1;
            return add_class(module, "BatchResult", batch_result_type());
        },
        -1);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_quillmere",
    "Native core of the quillmere package.\n\n"
    "The package quillmere loads this module and imports PowerFlowModel from it; it is not meant "
    "to be imported directly by end users.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quillmere::python

PyMODINIT_FUNC PyInit__quillmere() {
    return PyModuleDef_Init(&quillmere::python::definition);
}
