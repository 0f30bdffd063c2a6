// The PowerFlowModel methods that run or reset the solver.

#include <span>
#include <string>
#include <vector>

#include "model_call.hpp"

namespace quillmere::python {
namespace {

// "[0, 1, 2]"
std::string bus_list(const std::vector<std::size_t>& buses) {
    std::string text = "[";
    for (std::size_t i = 0; i < buses.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(buses[i]);
    }
    return text + "]";
}

PyObject* solve(Model& model) {
    auto [islands, stats] = solve_case(model.solver, model.template_buses, {}, model.ybus,
                                       model.state, model.max_iter, model.tol, kSignalInterruption);
    if (stats.outcome == SolveOutcome::Interrupted) return nullptr;  // the handler's exception
    for (const IslandReport& island : islands) {
        if (island.status == IslandStatus::NotConverged) {
            PyErr_Format(PyExc_RuntimeError,
                         "power flow did not converge within %llu iterations (component with "
                         "buses %s)",
                         static_cast<unsigned long long>(model.max_iter),
                         bus_list(island.buses).c_str());
            return nullptr;
        }
        if (island.status == IslandStatus::SingularJacobian) {
            PyErr_Format(PyExc_RuntimeError, "Jacobian is singular (component with buses %s)",
                         bus_list(island.buses).c_str());
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

}  // namespace

PyObject* model_solve(PyObject* self, PyObject*) noexcept {
    return call_model<BorrowKind::Exclusive>(self, solve);
}

PyObject* model_reset(PyObject* self, PyObject*) noexcept {
    return call_model<BorrowKind::Exclusive>(self, [](Model& model) {
        model.solver.reset();
        Py_RETURN_NONE;
    });
}

}  // namespace quillmere::python
