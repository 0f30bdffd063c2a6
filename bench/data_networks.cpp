// Every network of the data folder on every backend, solved as solve() runs it (the template buses
// copied, the linear initial guess, the Newton solve on the model's kept solver):
//   - the repeated solve (median) split into the initial guess, the mismatch (injections,
//     mismatch and norm), the Jacobian fill, the linear solve (factorisation and solve) and the
//     rest (copy, islands, layout, voltage update, island reports), with its Newton passes;
//   - the first solve on a fresh solver (pattern and backend analysis included) against a
//     repeated one, and the initial guess against one Newton pass, as ratios;
//   - the peak resident memory of the load and of each backend's first solve (ru_maxrss).
// On the first network present (the smallest), the resident memory before and after 1,000 more
// solves on each backend.
//
//   bench_data_networks [data_dir] [repeats]
//
// data_dir holds networks/*.json: by default $QM_DATA_DIR, else ../shared/data beside the
// repository. The parts are timed by replaying the engine's loop with its own calls
// (pass_timing.hpp); for "block", whose assembly the engine does not expose, the fill is the
// engine's loop time less the other parts.

#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "engine/newton_block.hpp"
#include "linalg/block_sparse.hpp"
#include "pass_timing.hpp"
#include "pgm/load.hpp"
#include "quillmere.hpp"

using namespace quillmere;
using bench::Clock;
using bench::median;
using bench::ms_since;
using bench::PassTimes;

namespace {

constexpr double kTol = 1e-6;  // the defaults of from_pgm_json and of peers.py
constexpr std::uint64_t kMaxIter = 30;
constexpr int kRssSolves = 1000;
// Smallest first: the memory check runs on the first one present.
constexpr const char* kFiles[] = {"case1354pegase.json", "case9241pegase.json",
                                  "case_ACTIVSg10k.json", "dist_12k.json", "dist_60k.json"};
constexpr std::array<std::pair<Backend, const char*>, 3> kBackends{
    {{Backend::Scalar, "scalar"}, {Backend::Block, "block"}, {Backend::KluNative, "klu_native"}}};

const char* backend_name(Backend backend) {
    for (const auto& [b, name] : kBackends) {
        if (b == backend) return name;
    }
    return "?";
}

// Starts a new peak: the kernel's high-water mark, which ru_maxrss reads, drops to the resident
// size. False where /proc refuses; the peak then counts from the program's start.
bool reset_peak_rss() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5" << std::flush;
    return static_cast<bool>(clear);
}

double peak_rss_mb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kB on Linux
}

long rss_kb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// One solve() on `solver`: its time (ms), island reports and record.
struct Solved {
    double ms = 0;
    std::vector<IslandReport> islands;
    SolveStats stats;
};

Solved solve_once(PersistentSolver& solver, const pgm::LoadedNetwork& net,
                  std::vector<Bus>& state) {
    const auto t = Clock::now();
    state = net.buses;
    solver.initial_guess(state, net.ybus);
    auto [islands, stats] = solver.solve_with_stats(state, net.ybus, kMaxIter, kTol);
    return {ms_since(t), std::move(islands), std::move(stats)};
}

// The buses the engine's Newton loop starts from: the initial guess, with the buses of sourceless
// islands as the solve rewrote them (`solved` holds them after a solve).
std::vector<Bus> loop_start(const pgm::LoadedNetwork& net, const Solved& first,
                            std::span<const Bus> solved) {
    std::vector<Bus> start = bench::start_from(net.buses, net.ybus);
    for (const IslandReport& island : first.islands) {
        if (island.status != IslandStatus::Sourceless) continue;
        for (std::size_t b : island.buses) start[b] = solved[b];
    }
    return start;
}

// One backend on one network (ms).
struct Row {
    std::size_t passes = 0;
    bool replay_agrees = true;  // the replay made as many passes as the engine
    double first = 0, repeat = 0, guess = 0, mismatch = 0, fill = 0, linear = 0, update = 0,
           loop = 0;
    double pattern = -1, analysis = 0, peak_mb = 0;

    double rest() const { return repeat - guess - mismatch - fill - linear; }
    double pass() const {
        const double steps = static_cast<double>(passes > 1 ? passes - 1 : 1);
        return mismatch / static_cast<double>(passes) + (fill + linear + update) / steps;
    }
};

// One replay of a solve's loop, and the engine's loop from the same start timed whole.
struct Sample {
    PassTimes parts;
    double loop = 0;
};

// The "scalar" and "klu_native" loop, on a backend created as the engine does; and the engine's
// own loop on the same pattern and backend, timed whole.
template <LinearSolver System>
struct LoopReplay {
    std::optional<JacobianPattern> pattern;
    UnknownLayout layout;
    std::optional<System> system;
    NewtonWork work;

    static LoopReplay prepare(const pgm::LoadedNetwork& net, std::span<const Bus> start, Row& row) {
        LoopReplay r;
        auto t = Clock::now();
        r.pattern.emplace(JacobianPattern::analyze(start, net.ybus));
        row.pattern = ms_since(t);
        r.layout = unknown_layout(start);
        const auto triplets = bench::first_triplets(*r.pattern, start, net.ybus);
        t = Clock::now();
        r.system = System::create(r.layout.dim(), triplets);
        row.analysis = ms_since(t);
        return r;
    }

    bool ready() const { return system.has_value(); }

    Sample run(const pgm::LoadedNetwork& net, std::vector<Bus>& buses) {
        std::vector<Bus> again = buses;
        Sample sample{bench::timed_newton(std::span<Bus>(buses), net.ybus, layout, *pattern,
                                          *system, kMaxIter, kTol)};
        const auto t = Clock::now();
        newton_raphson_cached(std::span<Bus>(again), net.ybus, kMaxIter, kTol, pattern, system,
                              work);
        sample.loop = ms_since(t);
        return sample;
    }
};

// The "block" loop: the engine's assembly, factorisation and step on an analysis made as the
// engine makes it, and the engine's own loop timed whole, from the same start.
struct BlockReplay {
    UnknownLayout layout;
    std::optional<BlockAnalysis> analysis;
    NewtonWork work;

    static BlockReplay prepare(const pgm::LoadedNetwork& net, std::span<const Bus> start,
                               Row& row) {
        const auto t = Clock::now();
        BlockReplay r{unknown_layout(start), BlockAnalysis::analyze(start, net.ybus), {}};
        row.analysis = ms_since(t);
        return r;
    }

    bool ready() const { return true; }

    Sample run(const pgm::LoadedNetwork& net, std::vector<Bus>& buses) {
        std::vector<Bus> again = buses;
        BlockAnalysis& a = *analysis;
        Sample sample;
        sample.parts = bench::timed_iterate(
            buses, net.ybus, layout, kMaxIter, kTol,
            [&](std::span<const network::BusPower> at) { a.assemble(at); },
            [&](std::span<const double> mismatch) {
                if (!a.lu.refactor()) return false;
                a.solve_step(mismatch);
                return true;
            },
            [&] {
                for (std::size_t k = 0; k < layout.pvpq.size(); ++k) {
                    Bus& bus = buses[layout.pvpq[k]];
                    bus.va += a.step[k][0];
                    bus.vm += a.step[k][1];
                }
            });
        const auto t = Clock::now();
        newton_raphson_block_cached(again, net.ybus, kMaxIter, kTol, analysis, work);
        sample.loop = ms_since(t);
        return sample;
    }
};

// The solve, the guess and the replay alternate, so that all three see the same machine load.
template <class Replay>
std::optional<Row> bench_with(const pgm::LoadedNetwork& net, Backend backend, int repeats) {
    Row row;
    std::vector<Bus> state;
    PersistentSolver solver(backend);
    reset_peak_rss();
    const Solved first = solve_once(solver, net, state);
    row.first = first.ms;
    row.peak_mb = peak_rss_mb();
    if (first.stats.outcome != SolveOutcome::Converged) {
        std::printf("%-10s did not converge within %llu passes\n", backend_name(backend),
                    static_cast<unsigned long long>(kMaxIter));
        return std::nullopt;
    }
    row.passes = first.stats.history.size();

    const std::vector<Bus> start = loop_start(net, first, state);
    Replay replay = Replay::prepare(net, start, row);
    if (!replay.ready()) {
        std::printf("%-10s backend creation failed in the replay\n", backend_name(backend));
        return std::nullopt;
    }
    std::vector<double> repeat, guess, mismatch, fill, linear, update, loop;
    for (int r = 0; r < repeats; ++r) {
        repeat.push_back(solve_once(solver, net, state).ms);
        state = net.buses;
        const auto t = Clock::now();
        solver.initial_guess(state, net.ybus);
        guess.push_back(ms_since(t));
        std::vector<Bus> buses = start;
        const Sample s = replay.run(net, buses);
        row.replay_agrees = row.replay_agrees && s.parts.passes == row.passes;
        mismatch.push_back(s.parts.mismatch);
        fill.push_back(s.parts.fill);
        linear.push_back(s.parts.linear);
        update.push_back(s.parts.update);
        loop.push_back(s.loop);
    }
    row.repeat = median(repeat);
    row.guess = median(guess);
    row.mismatch = median(mismatch);
    row.linear = median(linear);
    row.update = median(update);
    row.loop = median(loop);
    row.fill = median(fill);
    return row;
}

std::optional<Row> bench_backend(const pgm::LoadedNetwork& net, Backend backend, int repeats) {
    switch (backend) {
        case Backend::Scalar:
            return bench_with<LoopReplay<RealSparseSystem>>(net, backend, repeats);
        case Backend::Block:
            return bench_with<BlockReplay>(net, backend, repeats);
        default:
            return bench_with<LoopReplay<KluNativeSystem>>(net, backend, repeats);
    }
}

void bench_network(const pgm::LoadedNetwork& net, const std::string& file, double load_ms,
                   int repeats) {
    std::size_t pv = 0, pq = 0;
    for (const Bus& b : net.buses) {
        pv += b.bus_type == BusType::PV ? 1 : 0;
        pq += is_pq(b) ? 1 : 0;
    }
    std::printf(
        "\n== %s: %zu buses (%zu PV, %zu PQ), loaded in %.1f ms, peak RSS of the load %.1f MB\n",
        file.c_str(), net.buses.size(), pv, pq, load_ms, peak_rss_mb());
    std::printf("%-10s %6s %9s %8s %8s %8s %8s %8s | %8s | %9s %7s %8s %8s | %10s %8s\n", "backend",
                "passes", "repeat", "guess", "mismatch", "fill", "linear", "rest", "loop", "first",
                "1st/rep", "pattern", "backend", "guess/pass", "peak MB");
    for (const auto& [backend, name] : kBackends) {
        const std::optional<Row> row = bench_backend(net, backend, repeats);
        if (!row) continue;
        char pattern[16] = "-";
        if (row->pattern >= 0) std::snprintf(pattern, sizeof pattern, "%.2f", row->pattern);
        std::printf(
            "%-10s %5zu%s %9.2f %8.2f %8.2f %8.2f %8.2f %8.2f | %8.2f | %9.2f %7.2f %8s %8.2f | "
            "%10.2f %8.1f\n",
            name, row->passes, row->replay_agrees ? " " : "*", row->repeat, row->guess,
            row->mismatch, row->fill, row->linear, row->rest(), row->loop, row->first,
            row->first / row->repeat, pattern, row->analysis, row->guess / row->pass(),
            row->peak_mb);
    }
    std::printf("resident now %.1f MB, peak %.1f MB (ru_maxrss)\n",
                static_cast<double>(rss_kb()) / 1024.0, peak_rss_mb());
}

// Resident memory over many solve() calls on one kept solver: it must not grow.
void rss_over_solves(const pgm::LoadedNetwork& net, const std::string& file) {
    std::printf("\nresident memory over %d repeated solves of %s (after 10 to warm up):\n",
                kRssSolves, file.c_str());
    for (const auto& [backend, name] : kBackends) {
        PersistentSolver solver(backend);
        std::vector<Bus> state;
        for (int k = 0; k < 10; ++k) solve_once(solver, net, state);
        const long before = rss_kb();
        for (int k = 0; k < kRssSolves; ++k) solve_once(solver, net, state);
        const long after = rss_kb();
        std::printf("  %-10s %8ld kB -> %8ld kB  (%+ld kB)\n", name, before, after, after - before);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* env = std::getenv("QM_DATA_DIR");
    const std::filesystem::path root =
        argc > 1 && *argv[1] != 0 ? std::filesystem::path(argv[1])
        : env != nullptr          ? std::filesystem::path(env)
                         : std::filesystem::path(QM_SOURCE_ROOT) / ".." / "shared" / "data";
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    const std::filesystem::path dir = root / "networks";
    std::printf("networks under %s; tol %g, at most %llu passes; times in ms, medians of %d\n",
                dir.c_str(), kTol, static_cast<unsigned long long>(kMaxIter), repeats);
    std::printf(
        "repeat   solve() on a kept solver = guess + mismatch + fill + linear + rest\n"
        "loop     the engine's Newton loop alone (in repeat); block: fill is its assembly, linear "
        "its\n"
        "         factorisation and step\n"
        "first    solve() on a fresh solver; pattern, backend: its Jacobian pattern and backend "
        "analysis\n"
        "         (klu_native: with the first factorisation)\n"
        "guess/pass  initial guess / one Newton pass; peak MB: ru_maxrss over the first solve\n"
        "*        the replay's passes differ from the engine's\n");
    if (!reset_peak_rss()) {
        std::printf("(the peak cannot be reset here: every peak counts from the start)\n");
    }
    bool rss_checked = false;
    for (const char* file : kFiles) {
        const std::filesystem::path path = dir / file;
        if (!std::filesystem::exists(path)) {
            std::printf("\n%s: absent, skipped\n", path.c_str());
            continue;
        }
        reset_peak_rss();
        const auto t = Clock::now();
        auto loaded = pgm::load_network(path.string(), 1e6, 50.0);
        const double load_ms = ms_since(t);
        if (const auto* error = std::get_if<pgm::LoadError>(&loaded)) {
            std::printf("\n%s\n", error->message.c_str());
            continue;
        }
        const auto& net = std::get<pgm::LoadedNetwork>(loaded);
        bench_network(net, file, load_ms, repeats);
        // On the first network, before a larger one leaves freed memory behind that a growing
        // heap would reuse unseen.
        if (!rss_checked) rss_over_solves(net, file);
        rss_checked = true;
    }
    return 0;
}
