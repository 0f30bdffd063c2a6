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

void raise_text(PyObject* type, std::string_view message) {
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
}

void raise_panic(std::string_view message) {
    std::fprintf(stderr, "quillmere: call stopped:\n%.*s\n", static_cast<int>(message.size()),
                 message.data());
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    raise_text(type, message);
}

bool signal_handler_raised(const void*) {
    return PyErr_CheckSignals() != 0;
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
