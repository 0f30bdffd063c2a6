#include "arguments.hpp"

#include <string>
#include <vector>

#include "errors.hpp"
#include "ref.hpp"

namespace quillmere::python {
namespace {

void type_error(const Signature& signature, const std::string& tail) {
    PyErr_Format(PyExc_TypeError, "%s() %s", signature.callable, tail.c_str());
}

std::string plural(std::size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

void too_many_positional(const Signature& signature, std::size_t given) {
    std::size_t most = signature.names.size();
    std::string takes = signature.required == most
                            ? plural(most, "positional argument")
                            : "from " + std::to_string(signature.required) + " to " +
                                  std::to_string(most) + " positional arguments";
    type_error(signature, "takes " + takes + " but " + std::to_string(given) +
                              (given == 1 ? " was" : " were") + " given");
}

void missing_required(const Signature& signature, std::span<PyObject*> bound) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (bound[i] == nullptr) missing.push_back(signature.names[i]);
    }
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0)
            list.append(missing.size() == 2 ? " and "
                                            : (i + 1 == missing.size() ? ", and " : ", "));
        list.append(1, '\'').append(missing[i]).append(1, '\'');
    }
    std::string tail = "missing ";
    tail.append(plural(missing.size(), "required positional argument")).append(": ").append(list);
    type_error(signature, tail);
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound) {
    const std::size_t count = signature.names.size();
    for (PyObject*& slot : bound) slot = nullptr;
    const auto positional = static_cast<std::size_t>(nargs);
    if (positional > count) {
        too_many_positional(signature, positional);
        return false;
    }
    for (std::size_t i = 0; i < positional; ++i) bound[i] = args[i];

    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(name)) {
            type_error(signature, "keywords must be strings");
            return false;
        }
        std::size_t slot = count;
        for (std::size_t i = 0; i < count; ++i) {
            if (PyUnicode_CompareWithASCIIString(name, signature.names[i]) == 0) {
                slot = i;
                break;
            }
        }
        if (slot == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         signature.callable, name);
            return false;
        }
        if (bound[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         signature.callable, signature.names[slot]);
            return false;
        }
        bound[slot] = args[nargs + k];
    }

    for (std::size_t i = 0; i < signature.required; ++i) {
        if (bound[i] == nullptr) {
            missing_required(signature, bound);
            return false;
        }
    }
    return true;
}

std::optional<std::string> text_argument(PyObject* value, const char* parameter) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'str'",
                     Py_TYPE(value)->tp_name);
        add_parameter_note(parameter);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        add_parameter_note(parameter);
        return std::nullopt;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::optional<double> float_value(PyObject* value) {
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) return std::nullopt;
    return result;
}

std::optional<std::uint64_t> u64_value(PyObject* value) {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) return std::nullopt;
    const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::uint64_t>(result);
}

std::optional<double> float_argument(PyObject* value, const char* parameter) {
    auto result = float_value(value);
    if (!result) add_parameter_note(parameter);
    return result;
}

std::optional<std::uint64_t> u64_argument(PyObject* value, const char* parameter) {
    auto result = u64_value(value);
    if (!result) add_parameter_note(parameter);
    return result;
}

}  // namespace quillmere::python
