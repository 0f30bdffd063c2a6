#pragma once
// The in-memory network: branch and shunt records, the Y-bus in its two forms, and the operations
// the engine runs around the Newton iteration (injections, islands, initial guess).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/types.hpp"
#include "linalg/sparse.hpp"

namespace quillmere {

// A shunt admittance to ground (per-unit).
struct ShuntAdm {
    Complex y{0.0, 0.0};
    std::size_t bus = 0;
};

// A line, or a pure shunt when from == to (per-unit; b and g are totals, half at each end).
struct Line {
    std::size_t from = 0;
    std::size_t to = 0;
    double r = 0.0;
    double x = 0.0;
    double b = 0.0;
    double g = 0.0;
};

// A two-port transformer branch; the tap acts on the from side. Statuses: 1 in service, 0 out.
struct Transformer {
    Complex y_series{0.0, 0.0};
    Complex y_mag{0.0, 0.0};
    Complex tap{1.0, 0.0};
    std::size_t from = 0;
    std::size_t to = 0;
    std::uint8_t from_status = 1;
    std::uint8_t to_status = 1;
};

// The finished Y-bus: per row the (column, value) pairs, columns ascending, zero sums kept; and the
// same matrix in compressed-column form for the product Y*V.
struct YBusSparse {
    std::vector<std::vector<std::pair<std::size_t, Complex>>> rows;
    SparseMatrix matrix;
    std::size_t n = 0;
};

// The Y-bus under construction: stamps in push order, duplicates allowed.
struct YBus {
    std::vector<Triplet<Complex>> entries;
    std::size_t n = 0;

    // Sums the stamps by position. Stops on an index outside the matrix.
    YBusSparse finish() &&;
};

// One island of the network with its slack buses.
enum class ComponentKind : std::uint8_t { NoSlack = 0, MultiSlack = 1, SingleSlack = 2 };

struct Classified {
    std::vector<std::size_t> buses;   // ascending
    std::vector<std::size_t> slacks;  // the Slack buses among them, ascending
    ComponentKind kind = ComponentKind::NoSlack;
};

namespace network {

YBus build_ybus(std::size_t n, std::span<const Line> lines,
                std::span<const Transformer> transformers);
void stamp_shunts(YBus& ybus, std::span<const ShuntAdm> shunts);

// Series and magnetising admittance (per-unit of s_base and u_base) from nameplate data.
std::pair<Complex, Complex> transformer_admittances_ex(double u, double u_base, double sn,
                                                       double uk, double pk, double i0, double p0,
                                                       double s_base);

// The complex power (P, Q) drawn out of each bus at the buses' current voltages.
std::pair<std::vector<double>, std::vector<double>> power_injections(std::span<const Bus> buses,
                                                                     const YBusSparse& ybus);

// One bus as a pass measures it: its voltage (magnitude, angle) and the complex power (P, Q) drawn
// out of it at that voltage. The passes read these instead of the bus records, which are larger
// and lie farther apart.
struct BusPower {
    double vm = 0.0;
    double va = 0.0;
    double p = 0.0;
    double q = 0.0;
};

// The working lists of power_injections, kept by a caller that measures every Newton pass so that
// a pass allocates nothing: the phasors V, the currents Y*V, and each bus as measured.
struct InjectionWork {
    std::vector<Complex> v;
    std::vector<Complex> current;
    std::vector<BusPower> at;
};

// The same as power_injections, into `work`; its lists are sized to the bus count on first use.
void power_injections(std::span<const Bus> buses, const YBusSparse& ybus, InjectionWork& work);

// The specified power s of a bus plus its ZIP terms at magnitude vm, added in list order: the one
// formula of a bus's effective injection.
inline Complex add_zip_terms(Complex s, std::span<const ZipTerm> terms, double vm) {
    for (const ZipTerm& term : terms) {
        switch (term.kind) {
            case ZipKind::ConstantCurrent:
                s += term.s * vm;
                break;
            case ZipKind::ConstantImpedance:
                s += term.s * (vm * vm);
                break;
            default:
                s += term.s;
                break;
        }
    }
    return s;
}

// The specified injections of a bus list in flat lists, made once per solve so that a pass reads
// no bus record: per bus its specified power and its ZIP terms.
struct InjectionSpec {
    std::vector<Complex> specified;    // p_spec + j q_spec, per bus
    std::vector<std::uint32_t> first;  // bus b's terms are terms[first[b] .. first[b + 1])
    std::vector<ZipTerm> terms;

    // Refills the lists from `buses`, keeping their room. Stops when the terms need indices of 32
    // bits or more.
    void assign(std::span<const Bus> buses);

    // effective_injection of bus b at magnitude vm, bit for bit. Precondition: b < the bus count.
    Complex effective(std::size_t b, double vm) const {
        return add_zip_terms(specified[b],
                             std::span(terms).subspan(first[b], first[b + 1] - first[b]), vm);
    }
};

// The mismatch of bus b measured as `at`, effective injection minus calculated injection:
// (active, reactive). Precondition: b < the bus count of `spec`.
inline std::pair<double, double> bus_mismatch(const InjectionSpec& spec, std::size_t b,
                                              const BusPower& at) {
    const Complex s = spec.effective(b, at.vm);
    return {s.real() - at.p, s.imag() - at.q};
}

// Islands of the Y-bus pattern: each ascending, ordered by their smallest bus.
std::vector<std::vector<std::size_t>> connected_components(const YBusSparse& ybus);
std::vector<Classified> classify(std::span<const std::vector<std::size_t>> components,
                                 std::span<const Bus> buses);
// Sets vm and va of the PQ buses from one linear solve. When that solve fails, it is tried once
// more over the PQ buses of the components that hold a Slack bus, the others keeping their
// values; when that fails too, every bus stays as it was.
void linear_initial_guess(std::span<Bus> buses, const YBusSparse& ybus);

// One system of the initial guess, made once for a pattern: its unknowns (PQ buses), KLU system and
// triplet values, of which only the diagonal ones change between guesses, and the Y-bus entries
// that couple each unknown to buses held at their voltages (the right-hand side).
struct GuessSystem {
    ComplexSparseSystem system;
    std::vector<std::size_t> unknowns;    // the bus of each unknown, ascending
    std::vector<std::size_t> diagonal;    // per unknown: its diagonal triplet
    std::vector<std::uint8_t> has_own;    // per unknown: 1 when its Y-bus row holds (i, i)
    std::vector<Complex> own;             // per unknown: that Y-bus value
    std::vector<Complex> values;          // per triplet
    std::vector<std::size_t> held_first;  // unknown k's held entries: [held_first[k], [k + 1])
    std::vector<std::pair<std::size_t, Complex>> held;  // (held bus, Y-bus value), in row order
    std::vector<Complex> rhs;                           // per unknown
};

// The pattern-only work of the initial guess (its systems), kept between calls whose buses have
// the same types and whose Y-bus is the same (values too: the systems keep them); never compared
// with them. The systems: over every PQ bus, and over those of the components that hold a Slack
// bus.
struct GuessCache {
    std::optional<GuessSystem> whole;
    std::optional<GuessSystem> sourced;
};

// The same guess, bit for bit, keeping the pattern-only work in `cache`.
void linear_initial_guess(std::span<Bus> buses, const YBusSparse& ybus, GuessCache& cache);

// The effective injection of a bus at its current magnitude: specified power plus its ZIP terms.
Complex effective_injection(const Bus& bus);

}  // namespace network
}  // namespace quillmere
