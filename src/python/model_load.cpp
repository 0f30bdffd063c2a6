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

// Converts the bound values in parameter order, stopping at the first failure.
std::optional<LoadArguments> convert(PyObject* const (&bound)[6]) {
    LoadArguments out;
    auto path = text_argument(bound[0], "path");
    if (!path) return std::nullopt;
    out.path = std::move(*path);
    if (bound[1] != nullptr) {
        auto backend = text_argument(bound[1], "backend");
        if (!backend) return std::nullopt;
        out.backend = std::move(*backend);
    }
    if (bound[2] != nullptr) {
        auto tol = float_argument(bound[2], "tol");
        if (!tol) return std::nullopt;
        out.tol = *tol;
    }
    if (bound[3] != nullptr) {
        auto max_iter = u64_argument(bound[3], "max_iter");
        if (!max_iter) return std::nullopt;
        out.max_iter = *max_iter;
    }
    if (bound[4] != nullptr) {
        auto s_base = float_argument(bound[4], "s_base_va");
        if (!s_base) return std::nullopt;
        out.s_base_va = *s_base;
    }
    if (bound[5] != nullptr) {
        auto freq = float_argument(bound[5], "freq_hz");
        if (!freq) return std::nullopt;
        out.freq_hz = *freq;
    }
    return out;
}

PyObject* load(const LoadArguments& args) {
    auto loaded = pgm::load_network(args.path, args.s_base_va, args.freq_hz);
    if (auto* error = std::get_if<pgm::LoadError>(&loaded)) {
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
