#include "errors.hpp"

#include <cstdio>

#include "ref.hpp"

namespace quillmere::python {

PyObject* panic_exception_type() {
    // Made under the interpreter lock, kept for the life of the process.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "A call stopped because an internal check failed.\n\n"
            "It derives from BaseException, so a handler for Exception does not catch it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const char* message) {
    std::fprintf(stderr, "quillmere: call stopped:\n%s\n", message);
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    PyErr_SetString(type, message);
}

void add_parameter_note(const char* parameter) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
        Ref added;
        if (note) added = Ref::steal(PyObject_CallMethod(value, "add_note", "O", note.get()));
        // The conversion's own exception matters more than a note that could not be attached.
        if (!added) PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

}  // namespace quillmere::python
