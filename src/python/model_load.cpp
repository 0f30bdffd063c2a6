// PowerFlowModel.from_pgm_json: the only way to make a model.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "arguments.hpp"
#include "errors.hpp"
#include "model.hpp"
#include "pgm/load.hpp"

namespace quillmere::python {
namespace {

constexpr const char* kParameters[] = {"path",     "backend",   "tol",
                                       "max_iter", "s_base_va", "freq_hz"};
constexpr Signature kSignature{"PowerFlowModel.from_pgm_json", kParameters, 1};

// The backend code for `name`, or empty with ValueError set.
std::optional<Backend> backend_code(const std::string& name) {
    if (name == "scalar") return Backend::Scalar;
    if (name == "block") return Backend::Block;
    if (name == "klu_native") return Backend::KluNative;
    if (name == "klu") {
        raise_text(PyExc_ValueError,
                   "the 'klu' backend needs an optional component that was not enabled when this "
                   "module was built");
    } else if (name == "pardiso") {
        raise_text(PyExc_ValueError,
                   "the 'pardiso' backend needs an optional component that was not enabled when "
                   "this module was built, and a vendor math library present at build time");
    } else {
        raise_text(PyExc_ValueError,
                   "unknown backend '" + name +
                       "', expected 'scalar', 'block', 'klu', 'klu_native', or 'pardiso'");
    }
    return std::nullopt;
}

struct LoadArguments {
    std::string path;
    std::string backend = "scalar";
    double tol = 1e-6;
    std::uint64_t max_iter = 20;
    double s_base_va = 1e6;
    double freq_hz = 50.0;
};

// Converts an argument into `field` when it was given (a null value keeps the default); false
// when the conversion raised.
template <class T, class Convert>
bool take(PyObject* value, const char* parameter, Convert convert, T& field) {
    if (value == nullptr) return true;
    auto converted = convert(value, parameter);
    if (!converted) return false;
    field = std::move(*converted);
    return true;
}

// Converts the bound values in parameter order, stopping at the first failure.
std::optional<LoadArguments> convert(PyObject* const (&bound)[6]) {
    LoadArguments out;
    const bool ok = take(bound[0], "path", text_argument, out.path) &&
                    take(bound[1], "backend", text_argument, out.backend) &&
                    take(bound[2], "tol", float_argument, out.tol) &&
                    take(bound[3], "max_iter", u64_argument, out.max_iter) &&
                    take(bound[4], "s_base_va", float_argument, out.s_base_va) &&
                    take(bound[5], "freq_hz", float_argument, out.freq_hz);
    if (!ok) return std::nullopt;
    return out;
}

PyObject* load(const LoadArguments& args) {
    auto loaded = pgm::load_network(args.path, args.s_base_va, args.freq_hz, kSignalInterruption);
    if (auto* error = std::get_if<pgm::LoadError>(&loaded)) {
        // The signal handler's exception is already set.
        if (error->kind == pgm::LoadError::Kind::Interrupted) return nullptr;
        PyObject* type =
            error->kind == pgm::LoadError::Kind::Read ? PyExc_RuntimeError : PyExc_ValueError;
        raise_text(type, error->message);
        return nullptr;
    }
    // The name is matched only now, after the whole network has been built.
    auto backend = backend_code(args.backend);
    if (!backend) return nullptr;

    auto& network = std::get<pgm::LoadedNetwork>(loaded);
    auto model = std::make_unique<Model>();
    model->solver = PersistentSolver(*backend);
    model->state = network.buses;
    model->template_buses = std::move(network.buses);
    model->ybus = std::move(network.ybus);
    model->tol = args.tol;
    model->max_iter = args.max_iter;
    model->backend = *backend;
    return new_model_object(std::move(model));
}

}  // namespace

PyObject* model_from_pgm_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    PyObject* bound[6];
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    return run_guarded(
        [&]() -> PyObject* {
            auto converted = convert(bound);
            if (!converted) return nullptr;
            return load(*converted);
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace quillmere::python
