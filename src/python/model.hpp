#pragma once
// The Python class PowerFlowModel: a loaded network with its working state and solver, owned by
// the thread that created it.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "batch/batch.hpp"
#include "common/types.hpp"
#include "engine/solver.hpp"
#include "network/network.hpp"
#include "ownership.hpp"

namespace quillmere::python {

// The name used in the owner-thread messages.
inline constexpr const char kModelTypeName[] = "quillmere::python::PowerFlowModel";

struct Model {
    std::vector<Bus> template_buses;  // as loaded, never changed
    std::vector<Bus> state;           // the working buses, replaced by every solve
    YBusSparse ybus;
    PersistentSolver solver;
    std::optional<BatchCache> batch_cache;  // the worker pool of batches, made by the first one
    std::unordered_map<std::string, std::size_t> bus_index_by_mrid;  // nothing fills it
    double tol = 1e-6;
    std::uint64_t max_iter = 20;
    Backend backend = Backend::Scalar;
};

struct ModelObject {
    PyObject_HEAD Model* model;  // owned; left alive when released on a foreign thread
    std::uint64_t owner;
    BorrowFlag borrow;
};

// The class object, made at the first call and kept for the process. Borrowed; nullptr with an
// exception set when it cannot be made.
PyTypeObject* model_type();

// A new PowerFlowModel owning `model`, owned by the calling thread.
PyObject* new_model_object(std::unique_ptr<Model> model);

// The methods of the class, in their calling conventions.
PyObject* model_from_pgm_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;
PyObject* model_n_nodes(PyObject* self, void*) noexcept;
PyObject* model_bus_index_for_mrid(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept;
PyObject* model_solve(PyObject* self, PyObject*) noexcept;
PyObject* model_reset(PyObject* self, PyObject*) noexcept;
PyObject* model_solve_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept;
PyObject* model_solve_batch_scaled(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept;
PyObject* model_default_threads(PyObject*, PyObject*) noexcept;
PyObject* model_ybus_triplets(PyObject* self, PyObject*) noexcept;
PyObject* model_bus_spec(PyObject* self, PyObject*) noexcept;
PyObject* model_initial_guess(PyObject* self, PyObject*) noexcept;
PyObject* model_zip_term_counts(PyObject* self, PyObject*) noexcept;
PyObject* model_voltage_mag(PyObject* self, PyObject*) noexcept;
PyObject* model_voltage_ang(PyObject* self, PyObject*) noexcept;
PyObject* model_voltage_kv(PyObject* self, PyObject*) noexcept;

}  // namespace quillmere::python
