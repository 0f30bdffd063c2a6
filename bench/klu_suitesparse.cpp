// One Newton pass of the "klu_native" backend against SuiteSparse KLU on the Jacobians of the data
// networks, each built as the engine builds it at the linear initial guess. Per pass, klu_native
// runs factor_and_solve_values, and its three steps are timed one by one on a copy of its state:
// scatter (the triplet values into the factor layout), refactor (along the first pivot order) and
// solve. KLU gets the same matrix already in compressed columns and runs klu_refactor + klu_solve
// (klu_factor, with its pivot search, for reference). Both without row scaling, as klu_native has
// none. Then a whole repeated solve on a "klu_native" solver, and a first one on a new solver.
//
// `create` is split into its steps, each run by itself on the same matrix: the compressed pattern,
// the analysis (maximum transversal, strong components, then AMD per block with its symmetric
// lists and postorder: what analyze adds to the block triangular form), the layout of the matrix
// in that order with its values (and its rows moved to the pivot order afterwards), and the
// factorisation with partial pivoting.
// SuiteSparse runs the same analysis and factorisation: klu_analyze (btf_maxtrans and btf_order
// timed by themselves, AMD being the rest of klu_analyze) and klu_factor.
//
//   bench_klu_suitesparse [networks folder] [repeats]
//
// Times are medians of `repeats` runs, interleaved so that both sides see the same machine load.

#include <btf.h>
#include <klu.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/jacobian.hpp"
#include "engine/newton.hpp"
#include "engine/solver.hpp"
#include "linalg/compressed_pattern.hpp"
#include "linalg/klu_native/analyze.hpp"
#include "linalg/klu_native/btf/btf.hpp"
#include "linalg/klu_native/btf/maxtrans.hpp"
#include "linalg/klu_native/factor.hpp"
#include "linalg/klu_native/klu_native.hpp"
#include "linalg/klu_native/refactor.hpp"
#include "linalg/klu_native/solve.hpp"
#include "network/network.hpp"
#include "pgm/load.hpp"

namespace {

using namespace quillmere;
using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <class F>
double timed(F&& f) {
    const auto start = Clock::now();
    f();
    return ms_since(start);
}

// The Jacobian, its right-hand side (the mismatch) and its triplet list at the linear initial
// guess.
struct Pass {
    std::size_t dim = 0;
    std::vector<Triplet<double>> triplets;
    std::vector<double> values;
    std::vector<double> rhs;
};

// The start of a solve as the solver makes it: buses of a component without a slack become
// slacks at zero voltage, then the linear initial guess.
std::vector<Bus> solver_start(const pgm::LoadedNetwork& net) {
    std::vector<Bus> buses = net.buses;
    const auto components = network::connected_components(net.ybus);
    for (const Classified& c : network::classify(components, buses)) {
        if (c.kind != ComponentKind::NoSlack) continue;
        for (std::size_t b : c.buses) {
            buses[b].bus_type = BusType::Slack;
            buses[b].vm = buses[b].va = buses[b].p_spec = buses[b].q_spec = 0.0;
        }
    }
    network::linear_initial_guess(buses, net.ybus);
    return buses;
}

Pass jacobian_at_start(const pgm::LoadedNetwork& net) {
    const std::vector<Bus> buses = solver_start(net);
    const UnknownLayout layout = unknown_layout(buses);
    const JacobianPattern pattern = JacobianPattern::analyze(buses, net.ybus);
    network::InjectionWork injections;
    network::power_injections(buses, net.ybus, injections);
    network::InjectionSpec spec;
    spec.assign(buses);
    Pass pass;
    pass.dim = layout.dim();
    pass.rhs.resize(pass.dim);
    compute_mismatch(layout, spec, injections.at, pass.rhs);
    pattern.fill(injections.at, pass.values);
    for (std::size_t k = 0; k < pass.values.size(); ++k) {
        pass.triplets.push_back({pattern.rows[k], pattern.cols[k], pass.values[k]});
    }
    return pass;
}

// SuiteSparse KLU on the compressed-column form of the same matrix.
struct Klu {
    std::vector<int> ap, ai;
    std::vector<double> ax;
    klu_common common{};
    klu_symbolic* symbolic = nullptr;
    klu_numeric* numeric = nullptr;

    Klu(const Pass& pass, const CompressedPattern& pattern) {
        ap.assign(pattern.col_ptr.begin(), pattern.col_ptr.end());
        ai.assign(pattern.row_idx.begin(), pattern.row_idx.end());
        ax.resize(pattern.entries());
        pattern.scatter(std::span<const double>(pass.values), std::span<double>(ax));
        klu_defaults(&common);
        common.scale = 0;
        symbolic = klu_analyze(static_cast<int>(pass.dim), ap.data(), ai.data(), &common);
    }
    ~Klu() {
        if (numeric) klu_free_numeric(&numeric, &common);
        if (symbolic) klu_free_symbolic(&symbolic, &common);
    }
    Klu(const Klu&) = delete;
    Klu& operator=(const Klu&) = delete;
};

double rel_diff(const std::vector<double>& x, const std::vector<double>& y) {
    double diff = 0.0, scale = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        diff = std::max(diff, std::fabs(x[i] - y[i]));
        scale = std::max(scale, std::fabs(y[i]));
    }
    return scale > 0.0 ? diff / scale : diff;
}

// Medians of the steps of KluNativeSystem::create and of their SuiteSparse counterparts.
struct CreateSplit {
    double create = 0, pattern = 0, maxtrans = 0, btf = 0, analyze = 0, factor = 0, layout = 0;
    double klu_analyze = 0, klu_maxtrans = 0, klu_btf = 0, klu_factor = 0;
};

std::optional<CreateSplit> create_split(const Pass& pass, Klu& klu, int repeats) {
    namespace kn = klu_native;
    const std::size_t n = pass.dim;
    const int ni = static_cast<int>(n);
    std::vector<int> match(n), p(n), q(n), r(n + 1), work(5 * n);
    double klu_work = 0.0;
    int nmatch = 0;
    std::vector<double> create, pattern, maxtrans, btf, analyze, factor, layout;
    std::vector<double> k_analyze, k_maxtrans, k_btf, k_factor;
    bool ok = true;
    for (int rep = 0; rep < repeats; ++rep) {
        create.push_back(timed([&] { ok = ok && KluNativeSystem::create(n, pass.triplets); }));
        std::optional<CompressedPattern> pat;
        pattern.push_back(timed(
            [&] { pat = compress_pattern(n, std::span<const Triplet<double>>(pass.triplets)); }));
        maxtrans.push_back(timed([&] { kn::btf::maxtrans(n, n, pat->col_ptr, pat->row_idx); }));
        btf.push_back(timed([&] { kn::btf::btf_order(n, pat->col_ptr, pat->row_idx); }));
        std::optional<kn::Symbolic> sym;
        analyze.push_back(timed([&] { sym = kn::analyze(*pat); }));
        std::optional<kn::PermutedMatrix> m;
        std::vector<double> ax;
        const double lay_out = timed([&] {
            m = kn::permute(*pat, *sym);
            ax.resize(m->a.entries());
            m->a.scatter(std::span<const double>(pass.values), std::span<double>(ax));
        });
        std::optional<kn::Numeric> num;
        factor.push_back(timed([&] { num = kn::factor(*m, ax, *sym, 0.001); }));
        if (!num) return std::nullopt;
        layout.push_back(lay_out + timed([&] { kn::move_to_pivot_rows(*m, *sym, num->pnum, ax); }));

        k_analyze.push_back(timed([&] {
            klu_symbolic* s = klu_analyze(ni, klu.ap.data(), klu.ai.data(), &klu.common);
            ok = ok && s != nullptr;
            klu_free_symbolic(&s, &klu.common);
        }));
        k_maxtrans.push_back(timed([&] {
            btf_maxtrans(ni, ni, klu.ap.data(), klu.ai.data(), 0.0, &klu_work, match.data(),
                         work.data());
        }));
        k_btf.push_back(timed([&] {
            btf_order(ni, klu.ap.data(), klu.ai.data(), 0.0, &klu_work, p.data(), q.data(),
                      r.data(), &nmatch, work.data());
        }));
        k_factor.push_back(timed([&] {
            klu_numeric* f =
                klu_factor(klu.ap.data(), klu.ai.data(), klu.ax.data(), klu.symbolic, &klu.common);
            ok = ok && f != nullptr;
            klu_free_numeric(&f, &klu.common);
        }));
    }
    if (!ok) return std::nullopt;
    return CreateSplit{median(create),     median(pattern), median(maxtrans), median(btf),
                       median(analyze),    median(factor),  median(layout),   median(k_analyze),
                       median(k_maxtrans), median(k_btf),   median(k_factor)};
}

void print_split(const CreateSplit& s) {
    const double strongcomp = s.btf - s.maxtrans;
    const double amd = s.analyze - s.btf;
    const double klu_strongcomp = s.klu_btf - s.klu_maxtrans;
    const double klu_amd = s.klu_analyze - s.klu_btf;
    std::printf(
        "  create %8.2f ms: pattern %.2f + analysis %.2f + factor %.2f + layout and values %.2f\n"
        "    analysis: maxtrans %.2f, strongcomp %.2f, AMD %.2f\n",
        s.create, s.pattern, s.analyze, s.factor, s.layout, s.maxtrans, strongcomp, amd);
    std::printf(
        "  KLU    %8.2f ms: klu_analyze %.2f (btf_maxtrans %.2f, btf_strongcomp %.2f, AMD %.2f)"
        " + klu_factor %.2f\n",
        s.klu_analyze + s.klu_factor, s.klu_analyze, s.klu_maxtrans, klu_strongcomp, klu_amd,
        s.klu_factor);
    std::printf(
        "  klu_native / KLU: analysis %.2f (maxtrans %.2f, strongcomp %.2f, AMD %.2f), "
        "factor %.2f; create / (klu_analyze + klu_factor) %.2f\n",
        s.analyze / s.klu_analyze, s.maxtrans / s.klu_maxtrans, strongcomp / klu_strongcomp,
        amd / klu_amd, s.factor / s.klu_factor, s.create / (s.klu_analyze + s.klu_factor));
}

int run(const std::filesystem::path& path, int repeats) {
    auto loaded = pgm::load_network(path.string(), 1e6, 50.0);
    if (auto* error = std::get_if<pgm::LoadError>(&loaded)) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), error->message.c_str());
        return 1;
    }
    const auto& net = std::get<pgm::LoadedNetwork>(loaded);
    const Pass pass = jacobian_at_start(net);
    const std::optional<CompressedPattern> pattern =
        compress_pattern(pass.dim, std::span<const Triplet<double>>(pass.triplets));
    if (!pattern) return 1;

    std::optional<KluNativeSystem> native;
    const double create_ms =
        timed([&] { native = KluNativeSystem::create(pass.dim, pass.triplets); });
    Klu klu(pass, *pattern);
    if (!native || klu.symbolic == nullptr) {
        std::fprintf(stderr, "%s: analysis or first factorisation failed\n", path.c_str());
        return 1;
    }
    const double klu_factor_ms = timed([&] {
        klu.numeric =
            klu_factor(klu.ap.data(), klu.ai.data(), klu.ax.data(), klu.symbolic, &klu.common);
    });
    if (klu.numeric == nullptr) return 1;

    // The state factor_and_solve_values works on, copied, for the steps one by one.
    namespace kn = klu_native;
    const kn::PermutedMatrix& m = native->matrix();
    kn::Numeric num = native->numeric();
    std::vector<double> ax(m.a.entries()), work(pass.dim, 0.0), y(pass.dim), x_steps(pass.dim);

    std::vector<double> t_native, t_scatter, t_kernel, t_native_solve, t_refactor, t_solve;
    std::vector<double> x_native, x_klu(pass.dim);
    bool ok = true;
    for (int r = 0; r < repeats; ++r) {
        t_native.push_back(timed([&] {
            std::optional<std::vector<double>> x =
                native->factor_and_solve_values(pass.values, pass.rhs);
            ok = ok && x.has_value();
            if (x) x_native = std::move(*x);
        }));
        t_scatter.push_back(timed(
            [&] { m.a.scatter(std::span<const double>(pass.values), std::span<double>(ax)); }));
        t_kernel.push_back(timed([&] { ok = ok && kn::refactor(m, ax, num, work); }));
        t_native_solve.push_back(
            timed([&] { ok = ok && kn::solve(m, ax, num, pass.rhs, y, x_steps); }));
        t_refactor.push_back(timed([&] {
            ok = ok && klu_refactor(klu.ap.data(), klu.ai.data(), klu.ax.data(), klu.symbolic,
                                    klu.numeric, &klu.common) == 1;
        }));
        std::copy(pass.rhs.begin(), pass.rhs.end(), x_klu.begin());
        t_solve.push_back(timed([&] {
            ok = ok && klu_solve(klu.symbolic, klu.numeric, static_cast<int>(pass.dim), 1,
                                 x_klu.data(), &klu.common) == 1;
        }));
    }
    if (!ok) {
        std::fprintf(stderr, "%s: a refactorisation or solve failed\n", path.c_str());
        return 1;
    }

    // A whole solve repeated on one solver, from the linear initial guess each time, and a first
    // solve on a new solver, which builds the pattern and creates the backend object.
    PersistentSolver solver(Backend::KluNative);
    std::vector<double> t_whole, t_first;
    std::size_t passes = 0;
    for (int r = 0; r <= repeats; ++r) {
        std::vector<Bus> buses = net.buses;
        network::linear_initial_guess(buses, net.ybus);
        std::vector<Bus> fresh = buses;
        SolveStats stats;
        const double ms =
            timed([&] { stats = solver.solve_with_stats(buses, net.ybus, 20, 1e-6).second; });
        if (r > 0) t_whole.push_back(ms);
        passes = stats.history.size();
        t_first.push_back(timed([&] {
            PersistentSolver(Backend::KluNative).solve_with_stats(fresh, net.ybus, 20, 1e-6);
        }));
    }
    const std::optional<CreateSplit> split = create_split(pass, klu, repeats);
    if (!split) {
        std::fprintf(stderr, "%s: a step of create or of KLU failed\n", path.c_str());
        return 1;
    }

    const double native_ms = median(t_native);
    const double klu_ms = median(t_refactor) + median(t_solve);
    std::printf("%s: n = %zu, %zu triplets, %zu entries; klu_native create %.2f ms\n",
                path.filename().c_str(), pass.dim, pass.triplets.size(), pattern->entries(),
                create_ms);
    std::printf("  klu_native pass %7.3f ms  (scatter %.3f + refactor %.3f + solve %.3f)\n",
                native_ms, median(t_scatter), median(t_kernel), median(t_native_solve));
    std::printf("  KLU        pass %7.3f ms  (refactor %.3f + solve %.3f; klu_factor %.3f)\n",
                klu_ms, median(t_refactor), median(t_solve), klu_factor_ms);
    std::printf(
        "  klu_native / KLU %.2f (refactor alone %.2f)   largest |x_native - x_klu| / |x|max "
        "%.1e\n",
        native_ms / klu_ms, median(t_kernel) / median(t_refactor), rel_diff(x_native, x_klu));
    if (x_steps != x_native) {
        std::fprintf(stderr, "%s: the steps one by one disagree with factor_and_solve_values\n",
                     path.c_str());
        return 1;
    }
    std::printf(
        "  whole repeated solve (klu_native) %8.2f ms, %zu passes; first solve %.2f ms "
        "(%.2f x repeated)\n",
        median(t_whole), passes, median(t_first), median(t_first) / median(t_whole));
    print_split(*split);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path folder = argc > 1 ? argv[1] : "../shared/data/networks";
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;
    int status = 0;
    for (const char* name :
         {"case_ACTIVSg10k.json", "case9241pegase.json", "dist_12k.json", "dist_60k.json"}) {
        const std::filesystem::path path = folder / name;
        if (!std::filesystem::exists(path)) {
            std::printf("skipped: %s not found\n", path.c_str());
            continue;
        }
        status |= run(path, repeats);
    }
    return status;
}
