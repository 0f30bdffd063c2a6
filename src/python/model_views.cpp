// The read-only PowerFlowModel methods: views of the buses and the Y-bus, the identifier lookup and
// the default thread count.

#include <span>
#include <vector>

#include "arguments.hpp"
#include "batch/thread_pool.hpp"
#include "lists.hpp"
#include "model_call.hpp"

namespace quillmere::python {
namespace {

constexpr const char* kMridParameters[] = {"mrid"};
constexpr Signature kMridSignature{"PowerFlowModel.bus_index_for_mrid", kMridParameters, 1};

template <class Value>
PyObject* state_floats(PyObject* self, Value&& value) noexcept {
    return call_model<BorrowKind::Shared>(self, [&](Model& model) {
        const std::vector<Bus>& buses = model.state;
        return float_list(buses.size(), [&](std::size_t i) { return value(buses[i]); });
    });
}

}  // namespace

PyObject* model_n_nodes(PyObject* self, void*) noexcept {
    return call_model<BorrowKind::Shared>(
        self, [](Model& model) { return PyLong_FromSize_t(model.state.size()); });
}

PyObject* model_voltage_mag(PyObject* self, PyObject*) noexcept {
    return state_floats(self, [](const Bus& bus) { return bus.vm; });
}

PyObject* model_voltage_ang(PyObject* self, PyObject*) noexcept {
    return state_floats(self, [](const Bus& bus) { return bus.va; });
}

PyObject* model_voltage_kv(PyObject* self, PyObject*) noexcept {
    return state_floats(self, [](const Bus& bus) { return bus.vm * bus.u_rated / 1000.0; });
}

PyObject* model_bus_spec(PyObject* self, PyObject*) noexcept {
    return call_model<BorrowKind::Shared>(self, [](Model& model) {
        const std::vector<Bus>& buses = model.template_buses;
        const std::size_t n = buses.size();
        return tuple_of(int_list(n, [&](std::size_t i) { return buses[i].bus_type; }),
                        float_list(n, [&](std::size_t i) { return buses[i].p_spec; }),
                        float_list(n, [&](std::size_t i) { return buses[i].q_spec; }));
    });
}

PyObject* model_zip_term_counts(PyObject* self, PyObject*) noexcept {
    return call_model<BorrowKind::Shared>(self, [](Model& model) {
        const std::vector<Bus>& buses = model.template_buses;
        return int_list(buses.size(), [&](std::size_t i) { return buses[i].zip.size(); });
    });
}

PyObject* model_initial_guess(PyObject* self, PyObject*) noexcept {
    return call_model<BorrowKind::Shared>(self, [](Model& model) {
        std::vector<Bus> buses = model.template_buses;
        network::linear_initial_guess(std::span<Bus>(buses), model.ybus);
        const std::size_t n = buses.size();
        return tuple_of(float_list(n, [&](std::size_t i) { return buses[i].vm; }),
                        float_list(n, [&](std::size_t i) { return buses[i].va; }));
    });
}

PyObject* model_ybus_triplets(PyObject* self, PyObject*) noexcept {
    return call_model<BorrowKind::Shared>(self, [](Model& model) -> PyObject* {
        const auto& rows = model.ybus.rows;
        std::size_t count = 0;
        for (const auto& row : rows) count += row.size();
        Ref lists[4];
        for (Ref& list : lists) {
            list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
            if (!list) return nullptr;
        }
        Py_ssize_t k = 0;
        for (std::size_t r = 0; r < rows.size(); ++r) {
            for (const auto& [col, value] : rows[r]) {
                PyObject* items[4] = {PyLong_FromSize_t(r), PyLong_FromSize_t(col),
                                      PyFloat_FromDouble(value.real()),
                                      PyFloat_FromDouble(value.imag())};
                bool complete = true;
                for (int i = 0; i < 4; ++i) {
                    // A list slot left empty is released as such, so a failure leaks nothing.
                    if (items[i] == nullptr) complete = false;
                    PyList_SET_ITEM(lists[i].get(), k, items[i]);
                }
                if (!complete) return nullptr;
                ++k;
            }
        }
        return tuple_of(lists[0].release(), lists[1].release(), lists[2].release(),
                        lists[3].release());
    });
}

PyObject* model_bus_index_for_mrid(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
    PyObject* bound[1];
    if (!bind_arguments(kMridSignature, args, nargs, kwnames, bound)) return nullptr;
    return call_model<BorrowKind::Shared>(self, [&](Model& model) -> PyObject* {
        auto mrid = text_argument(bound[0], "mrid");
        if (!mrid) return nullptr;
        auto found = model.bus_index_by_mrid.find(*mrid);
        if (found == model.bus_index_by_mrid.end()) Py_RETURN_NONE;
        return PyLong_FromSize_t(found->second);
    });
}

PyObject* model_default_threads(PyObject*, PyObject*) noexcept {
    return PyLong_FromSize_t(default_threads());
}

}  // namespace quillmere::python
