#include "batch_result.hpp"

#include <new>
#include <utility>

#include "lists.hpp"

namespace quillmere::python {
namespace {

struct BatchResultObject {
    PyObject_HEAD BatchResultData data;
};

BatchResultData& data_of(PyObject* self) {
    return reinterpret_cast<BatchResultObject*>(self)->data;
}

void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    data_of(self).~BatchResultData();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_voltage_mag(PyObject* self, void*) noexcept {
    const auto& values = data_of(self).voltage_mag;
    return float_list(values.size(), [&](std::size_t i) { return values[i]; });
}

PyObject* get_voltage_ang(PyObject* self, void*) noexcept {
    const auto& values = data_of(self).voltage_ang;
    return float_list(values.size(), [&](std::size_t i) { return values[i]; });
}

PyObject* get_iterations(PyObject* self, void*) noexcept {
    return PyLong_FromUnsignedLongLong(data_of(self).iterations);
}

PyObject* get_converged(PyObject* self, void*) noexcept {
    return PyBool_FromLong(data_of(self).converged ? 1 : 0);
}

PyObject* get_max_mismatch(PyObject* self, void*) noexcept {
    return PyFloat_FromDouble(data_of(self).max_mismatch);
}

PyGetSetDef getters[] = {
    {"voltage_mag", get_voltage_mag, nullptr,
     "Per-bus voltage magnitude in per-unit, in node order.", nullptr},
    {"voltage_ang", get_voltage_ang, nullptr, "Per-bus voltage angle in radians, in node order.",
     nullptr},
    {"iterations", get_iterations, nullptr, "Newton iterations this scenario used.", nullptr},
    {"converged", get_converged, nullptr, nullptr, nullptr},
    {"max_mismatch", get_max_mismatch, nullptr, "Max |mismatch| at the final iteration.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char class_doc[] =
    "One scenario's outcome from solve_batch: the solved bus voltages plus the convergence "
    "detail that the solver returns.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_getset, getters},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.BatchResult",
    sizeof(BatchResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

PyTypeObject* batch_result_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_batch_result(BatchResultData data) {
    PyTypeObject* type = batch_result_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&data_of(self)) BatchResultData(std::move(data));
    return self;
}

}  // namespace quillmere::python
