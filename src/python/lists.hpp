#pragma once
// New Python lists and tuples built from C++ values; nothing returned shares memory with the model.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "ref.hpp"

namespace quillmere::python {

// A new list of `count` items, item i made by `make(i)` as a new reference; nullptr with the
// exception set when any item cannot be made.
template <class Make>
PyObject* build_list(std::size_t count, Make&& make) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = make(i);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

template <class Value>
PyObject* float_list(std::size_t count, Value&& value) {
    return build_list(count, [&](std::size_t i) { return PyFloat_FromDouble(value(i)); });
}

template <class Value>
PyObject* int_list(std::size_t count, Value&& value) {
    return build_list(count, [&](std::size_t i) {
        return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value(i)));
    });
}

// A new tuple that takes over the given new references; nullptr when any of them is nullptr.
template <class... Items>
PyObject* tuple_of(Items... items) {
    Ref owned[] = {Ref::steal(items)...};
    for (const Ref& item : owned) {
        if (!item) return nullptr;
    }
    Ref tuple = Ref::steal(PyTuple_New(sizeof...(Items)));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < sizeof...(Items); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), owned[i].release());
    }
    return tuple.release();
}

}  // namespace quillmere::python
