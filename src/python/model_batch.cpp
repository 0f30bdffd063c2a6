// The batch methods of PowerFlowModel: Python scenarios in, one BatchResult per scenario out,
// solved on the model's own worker pool while the calling thread waits with the interpreter lock,
// running signal handlers as it waits.

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "arguments.hpp"
#include "batch/batch.hpp"
#include "batch_result.hpp"
#include "lists.hpp"
#include "model_call.hpp"
#include "ref.hpp"

namespace quillmere::python {
namespace {

constexpr const char* kBatchParameters[] = {"scenarios", "threads"};
constexpr Signature kBatchSignature{"PowerFlowModel.solve_batch", kBatchParameters, 1};
constexpr const char* kScaledParameters[] = {"scales", "threads"};
constexpr Signature kScaledSignature{"PowerFlowModel.solve_batch_scaled", kScaledParameters, 1};

// A sequence's length is only a hint: a __len__ that lies must not make the call reserve without
// bound, so at most this many entries are reserved up front.
constexpr std::size_t kMostReservedFromHint = std::size_t{1} << 16;

// True when `value` may be read as a list: not a str, and a sequence to the interpreter or an
// instance of collections.abc.Sequence. Otherwise false with TypeError set.
bool is_list_like(PyObject* value) {
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (PySequence_Check(value)) return true;
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return false;
    Ref sequence = Ref::steal(PyObject_GetAttrString(abc.get(), "Sequence"));
    if (!sequence) return false;
    const int registered = PyObject_IsInstance(value, sequence.get());
    if (registered < 0) return false;
    if (registered == 0) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    return true;
}

// Every item of the list-like `value`, in iteration order, converted by `convert` (which returns
// an empty optional with the exception set when it fails); empty at the first failure.
template <class T, class Convert>
std::optional<std::vector<T>> list_of(PyObject* value, Convert&& convert) {
    if (!is_list_like(value)) return std::nullopt;
    std::vector<T> items;
    const Py_ssize_t hint = PySequence_Size(value);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        items.reserve(std::min(static_cast<std::size_t>(hint), kMostReservedFromHint));
    }
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) return std::nullopt;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        std::optional<T> converted = convert(item.get());
        if (!converted) return std::nullopt;
        items.push_back(*std::move(converted));
    }
    if (PyErr_Occurred()) return std::nullopt;
    return items;
}

// One (bus_index, p_spec, q_spec) tuple.
std::optional<BusOverride> override_from(PyObject* value) {
    if (!PyTuple_Check(value)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyTuple'",
                     Py_TYPE(value)->tp_name);
        return std::nullopt;
    }
    const Py_ssize_t length = PyTuple_GET_SIZE(value);
    if (length != 3) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 3, but got tuple of length %zd",
                     length);
        return std::nullopt;
    }
    const auto bus = u64_value(PyTuple_GET_ITEM(value, 0));
    if (!bus) return std::nullopt;
    const auto p_spec = float_value(PyTuple_GET_ITEM(value, 1));
    if (!p_spec) return std::nullopt;
    const auto q_spec = float_value(PyTuple_GET_ITEM(value, 2));
    if (!q_spec) return std::nullopt;
    return BusOverride{*p_spec, *q_spec, std::nullopt, static_cast<std::size_t>(*bus)};
}

std::optional<Scenario> scenario_from(PyObject* value) {
    auto overrides = list_of<BusOverride>(value, override_from);
    if (!overrides) return std::nullopt;
    return Scenario{*std::move(overrides), {}};
}

// False with the exception set when `value` is neither omitted, None nor a count.
bool convert_threads(PyObject* value, std::optional<std::size_t>& threads) {
    if (value == nullptr || value == Py_None) return true;
    const auto count = u64_argument(value, "threads");
    if (!count) return false;
    threads = static_cast<std::size_t>(*count);
    return true;
}

PyObject* raise_batch_error(const BatchError& error) {
    raise_text(PyExc_RuntimeError, error.message());
    return nullptr;
}

BatchResultData result_data(PowerFlowReport report) {
    BatchResultData data;
    data.voltage_mag.reserve(report.buses.size());
    data.voltage_ang.reserve(report.buses.size());
    for (const Bus& bus : report.buses) {
        data.voltage_mag.push_back(bus.vm);
        data.voltage_ang.push_back(bus.va);
    }
    const std::vector<double>& history = report.stats.history;
    data.iterations = history.size();
    data.max_mismatch = history.empty() ? 0.0 : history.back();
    data.converged = report.stats.outcome == SolveOutcome::Converged;
    return data;
}

// The pool is fetched (or built) before the scenarios are validated, so an empty batch still
// builds it and a pool failure is reported ahead of invalid scenarios.
PyObject* run_batch(Model& model, std::span<const Scenario> scenarios,
                    std::optional<std::size_t> threads) {
    auto fetched = fetch_batch_solver(model.batch_cache, threads, model.backend);
    if (const auto* error = std::get_if<BatchError>(&fetched)) return raise_batch_error(*error);
    BatchSolver& solver = *std::get<BatchSolver*>(fetched);

    auto solved = solver.solve(model.template_buses, model.ybus, scenarios, model.max_iter,
                               model.tol, kSignalInterruption);
    if (const auto* error = std::get_if<BatchError>(&solved)) {
        // An interrupted batch leaves the handler's exception set.
        if (error->kind == BatchError::Kind::Interrupted) return nullptr;
        return raise_batch_error(*error);
    }
    auto& reports = std::get<std::vector<PowerFlowReport>>(solved);
    return build_list(reports.size(), [&](std::size_t i) {
        return new_batch_result(result_data(std::move(reports[i])));
    });
}

PyObject* solve_batch(Model& model, PyObject* const (&bound)[2]) {
    auto scenarios = list_of<Scenario>(bound[0], scenario_from);
    if (!scenarios) {
        add_parameter_note("scenarios");
        return nullptr;
    }
    std::optional<std::size_t> threads;
    if (!convert_threads(bound[1], threads)) return nullptr;
    return run_batch(model, *scenarios, threads);
}

PyObject* solve_batch_scaled(Model& model, PyObject* const (&bound)[2]) {
    auto scales = list_of<double>(bound[0], float_value);
    if (!scales) {
        add_parameter_note("scales");
        return nullptr;
    }
    std::optional<std::size_t> threads;
    if (!convert_threads(bound[1], threads)) return nullptr;
    std::vector<Scenario> scenarios;
    scenarios.reserve(scales->size());
    for (double scale : *scales) {
        scenarios.push_back(Scenario{uniform_load_scaling(model.template_buses, scale), {}});
    }
    return run_batch(model, scenarios, threads);
}

template <class Body>
PyObject* batch_method(const Signature& signature, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, Body&& body) noexcept {
    PyObject* bound[2];
    if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
    return call_model<BorrowKind::Exclusive>(self,
                                             [&](Model& model) { return body(model, bound); });
}

}  // namespace

PyObject* model_solve_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    return batch_method(kBatchSignature, self, args, nargs, kwnames, solve_batch);
}

PyObject* model_solve_batch_scaled(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
    return batch_method(kScaledSignature, self, args, nargs, kwnames, solve_batch_scaled);
}

}  // namespace quillmere::python
