#pragma once
// Binding of fast-call arguments to named parameters, with the interpreter's standard TypeError
// messages, and the conversions of argument values into C++ values.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quillmere::python {

// The parameters of one callable: all positional-or-keyword, the first `required` of them required.
struct Signature {
    const char* callable;  // as it appears in messages, e.g. "PowerFlowModel.from_pgm_json"
    std::span<const char* const> names;
    std::size_t required;
};

// Fills `bound` (one slot per parameter, borrowed references, nullptr when omitted). Returns false
// with TypeError set when the argument list does not fit the signature.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound);

// Conversions of one value: a float as the interpreter converts one (float, int, __float__,
// __index__) and an int (or __index__) in 0 ... 2^64 - 1. On failure the value's own exception
// is set (TypeError, OverflowError) and the result is empty.
std::optional<double> float_value(PyObject* value);
std::optional<std::uint64_t> u64_value(PyObject* value);

// Conversions of one argument value. On failure the value's own exception is raised with the note
// "while processing '<parameter>'" and the result is empty.
std::optional<std::string> text_argument(PyObject* value, const char* parameter);
std::optional<double> float_argument(PyObject* value, const char* parameter);
std::optional<std::uint64_t> u64_argument(PyObject* value, const char* parameter);

}  // namespace quillmere::python
