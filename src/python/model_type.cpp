// The PowerFlowModel class object: method table, docstrings, allocation and release.

#include <memory>

#include "model.hpp"
#include "ref.hpp"

namespace quillmere::python {
namespace {

void dealloc(PyObject* self) noexcept {
    auto* object = reinterpret_cast<ModelObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    if (object->owner == current_thread_id()) {
        delete object->model;
    } else {
        // The contents may only be touched on the owning thread, so they are left behind.
        PyObject *saved_type, *saved_value, *saved_traceback;
        PyErr_Fetch(&saved_type, &saved_value, &saved_traceback);
        PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but is being dropped on another thread",
                     kModelTypeName);
        PyErr_WriteUnraisable(nullptr);
        PyErr_Restore(saved_type, saved_value, saved_traceback);
    }
    object->model = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"from_pgm_json", as_method(model_from_pgm_json), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_pgm_json(path, backend=\"scalar\", tol=1e-6, max_iter=20, s_base_va=1e6, "
     "freq_hz=50.0)\n--\n\n"
     "Load a PGM JSON network file into a new model.\n\n"
     "Powers are taken in per-unit of s_base_va (VA) and line capacitances at freq_hz (Hz). "
     "backend names the sparse solver of the Newton step: \"scalar\", \"block\" or "
     "\"klu_native\". tol and max_iter bound the Newton-Raphson iteration of every solve()."},
    {"bus_index_for_mrid", as_method(model_bus_index_for_mrid), METH_FASTCALL | METH_KEYWORDS,
     "bus_index_for_mrid($self, mrid)\n--\n\n"
     "Bus index registered for the identifier mrid, or None when it has none."},
    {"solve", as_method(model_solve), METH_NOARGS,
     "solve($self)\n--\n\n"
     "Solve the bus voltages with Newton-Raphson, starting from the linear initial guess.\n\n"
     "Every disconnected component is solved in the same call; a component without a source "
     "gets a fixed zero-voltage placeholder rather than an error. RuntimeError is raised only "
     "when some component's own Newton-Raphson did not converge within max_iter iterations or "
     "met a singular Jacobian; the voltages then hold the last iterate. Ctrl-C (or any signal "
     "handler that raises) ends the solve between Newton passes with the handler's exception, "
     "KeyboardInterrupt for Ctrl-C, the voltages again holding the last iterate. Returns None."},
    {"reset", as_method(model_reset), METH_NOARGS,
     "reset($self)\n--\n\n"
     "Drop the cached Jacobian pattern and symbolic factorisation.\n\n"
     "Call it before the next solve() when the topology, not only bus values, has changed."},
    {"solve_batch", as_method(model_solve_batch), METH_FASTCALL | METH_KEYWORDS,
     "solve_batch($self, scenarios, threads=None)\n--\n\n"
     "Solve many injection scenarios over this model's topology in parallel.\n\n"
     "Returns one BatchResult per scenario, in scenario order. Each scenario is a list of "
     "(bus_index, p_spec, q_spec) triples in per-unit (net generation minus load); buses a "
     "scenario does not name keep their loaded values. threads defaults to the global thread "
     "count (see default_threads()); the worker pool is cached per thread count, so repeated "
     "calls with one setting never respawn workers. Unlike solve(), a scenario that fails to "
     "converge is not raised but reported through BatchResult.converged. The call holds the "
     "interpreter lock for the whole batch; the workers never touch Python objects. Ctrl-C (or "
     "any signal handler that raises) stops the workers between Newton passes and raises the "
     "handler's exception, with no results. In a process forked from the one that ran a batch, "
     "the first batch starts a worker pool of that process's own."},
    {"solve_batch_scaled", as_method(model_solve_batch_scaled), METH_FASTCALL | METH_KEYWORDS,
     "solve_batch_scaled($self, scales, threads=None)\n--\n\n"
     "solve_batch() for the time-series shape: each entry of scales becomes one scenario in "
     "which every bus's p_spec and q_spec are multiplied by that factor.\n\n"
     "Returns one BatchResult per scale, in order; threads is as in solve_batch()."},
    {"default_threads", as_method(model_default_threads), METH_NOARGS | METH_STATIC,
     "default_threads()\n--\n\n"
     "Workers the next `solve_batch` call would use with `threads=None`."},
    {"ybus_triplets", as_method(model_ybus_triplets), METH_NOARGS,
     "ybus_triplets($self)\n--\n\n"
     "The bus admittance matrix as (rows, cols, g, b): one entry per stored element, row by "
     "row, columns ascending; g and b are its real and imaginary parts in per-unit."},
    {"bus_spec", as_method(model_bus_spec), METH_NOARGS,
     "bus_spec($self)\n--\n\n"
     "The loaded buses as (kinds, p_spec, q_spec): kinds as ints (0 slack, 1 PV, 2 PQ) and the "
     "specified net injections (generation minus load) in per-unit."},
    {"initial_guess", as_method(model_initial_guess), METH_NOARGS,
     "initial_guess($self)\n--\n\n"
     "The (voltage_mag, voltage_ang) from which solve() starts its first Newton pass."},
    {"zip_term_counts", as_method(model_zip_term_counts), METH_NOARGS,
     "zip_term_counts($self)\n--\n\n"
     "The number of voltage-dependent load terms of each loaded bus, in node order."},
    {"voltage_mag", as_method(model_voltage_mag), METH_NOARGS,
     "voltage_mag($self)\n--\n\n"
     "Per-bus voltage magnitude in per-unit, in node order (the loaded values before the first "
     "solve)."},
    {"voltage_ang", as_method(model_voltage_ang), METH_NOARGS,
     "voltage_ang($self)\n--\n\n"
     "Per-bus voltage angle in radians, in node order."},
    {"voltage_kv", as_method(model_voltage_kv), METH_NOARGS,
     "voltage_kv($self)\n--\n\n"
     "Per-bus line-to-line voltage magnitude in kV, in node order."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getters[] = {
    {"n_nodes", model_n_nodes, nullptr,
     "Number of buses (nodes), including the virtual slack bus that each active source adds.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char class_doc[] =
    "A power-flow model loaded from a PGM JSON file.\n\n"
    "It is solved by a persistent solver that reuses its cached symbolic factorisations across "
    "solve() calls. Make one with PowerFlowModel.from_pgm_json(). A model is bound to the thread "
    "that created it, because some optional backends keep handles into solver libraries that are "
    "not safe for use from several threads.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getters},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.PowerFlowModel",
    sizeof(ModelObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

PyTypeObject* model_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_model_object(std::unique_ptr<Model> model) {
    PyTypeObject* type = model_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<ModelObject*>(self);
    object->model = model.release();
    object->owner = current_thread_id();
    object->borrow = BorrowFlag{};
    return self;
}

}  // namespace quillmere::python
