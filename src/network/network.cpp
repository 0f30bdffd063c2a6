#include "network/network.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "common/stop.hpp"
#include "linalg/compressed_pattern.hpp"

namespace quillmere {

namespace {

// Complex quotients are taken as a * conj(b) / |b|^2, without the rescaling of the library
// operator, so that a zero divisor gives NaN parts the same way on every platform.
Complex cdiv(Complex a, Complex b) {
    const double d = b.real() * b.real() + b.imag() * b.imag();
    return {(a.real() * b.real() + a.imag() * b.imag()) / d,
            (a.imag() * b.real() - a.real() * b.imag()) / d};
}

Complex inv(Complex b) {
    return cdiv(Complex(1.0, 0.0), b);
}

// A NaN part counts as non-zero.
bool nonzero(Complex z) {
    return z.real() != 0.0 || z.imag() != 0.0;
}

Complex phasor(const Bus& bus) {
    return {bus.vm * std::cos(bus.va), bus.vm * std::sin(bus.va)};
}

void check_bus_count(std::size_t buses, std::size_t n) {
    if (buses != n) {
        stop("index out of bounds: the bus list holds " + std::to_string(buses) +
             " buses but the Y-bus has " + std::to_string(n) + " rows");
    }
}

void check_rows(const YBusSparse& ybus) {
    if (ybus.rows.size() != ybus.n) {
        stop("index out of bounds: the Y-bus has " + std::to_string(ybus.rows.size()) +
             " rows but dimension " + std::to_string(ybus.n));
    }
}

void push(std::vector<Triplet<Complex>>& out, std::size_t row, std::size_t col, Complex value) {
    out.push_back({row, col, value});
}

void stamp_line(std::vector<Triplet<Complex>>& out, const Line& line) {
    if (line.from == line.to) {
        push(out, line.from, line.from, Complex(line.g, line.b));
        return;
    }
    const Complex y = inv(Complex(line.r, line.x));
    const Complex h = Complex(line.g, line.b) / 2.0;
    push(out, line.from, line.from, y + h);
    push(out, line.to, line.to, y + h);
    push(out, line.from, line.to, -y);
    push(out, line.to, line.from, -y);
}

void stamp_transformer(std::vector<Triplet<Complex>>& out, const Transformer& tr) {
    const Complex t = tr.tap;
    const double mag = std::hypot(t.real(), t.imag());
    const double tt = mag * mag;
    const Complex ys = tr.y_series;
    const Complex ym = tr.y_mag;
    const Complex zero(0.0, 0.0);
    Complex ff = zero, ft = zero, tf = zero, to = zero;

    if (tr.from_status == 1 && tr.to_status == 1) {
        const double d = t.real() * t.real() + t.imag() * t.imag();
        ff = (ys + ym / 2.0) / tt;
        ft = -ys * t / d;
        tf = -ys * std::conj(t) / d;
        to = ys + ym / 2.0;
    } else if (tr.from_status == 1 && tr.to_status == 0) {
        // Only the from side is connected: its half of the magnetising branch in parallel with
        // the series branch ending in the open side's half.
        ff = nonzero(ym) ? (ym / 2.0 + inv(inv(ys) + cdiv(Complex(2.0, 0.0), ym))) / tt : zero / tt;
    } else if (tr.from_status == 0 && tr.to_status == 1) {
        to = nonzero(ym) ? ym / 2.0 + inv(inv(ys) + cdiv(Complex(2.0, 0.0), ym)) : zero;
    }
    // Every transformer occupies its four positions, also with zero values.
    push(out, tr.from, tr.from, ff);
    push(out, tr.from, tr.to, ft);
    push(out, tr.to, tr.from, tf);
    push(out, tr.to, tr.to, to);
}

}  // namespace

namespace network {

YBus build_ybus(std::size_t n, std::span<const Line> lines,
                std::span<const Transformer> transformers) {
    YBus ybus;
    ybus.n = n;
    ybus.entries.reserve(4 * (lines.size() + transformers.size()));
    for (const auto& line : lines) stamp_line(ybus.entries, line);
    for (const auto& tr : transformers) stamp_transformer(ybus.entries, tr);
    return ybus;
}

void stamp_shunts(YBus& ybus, std::span<const ShuntAdm> shunts) {
    for (const auto& s : shunts) push(ybus.entries, s.bus, s.bus, s.y);
}

std::pair<Complex, Complex> transformer_admittances_ex(double u, double u_base, double sn,
                                                       double uk, double pk, double i0, double p0,
                                                       double s_base) {
    const double y_base = s_base / (u_base * u_base);
    const double u2 = u * u;
    const double z = std::abs(uk) * u2 / sn;
    const double r = pk * u2 / (sn * sn);
    const double d = z * z - r * r;
    double x = d > 0.0 ? std::sqrt(d) : 0.0;
    if (uk < 0.0) x = -x;
    const Complex y_series = inv(Complex(r, x)) / y_base;

    const double g = p0 / u2;
    const double m = sn * i0 / u2;
    const double e = m * m - g * g;
    const double b = e > 0.0 ? -std::sqrt(e) : 0.0;
    return {y_series, Complex(g / y_base, b / y_base)};
}

}  // namespace network

YBusSparse YBus::finish() && {
    if (n == std::numeric_limits<std::size_t>::max()) stop("the Y-bus dimension is too large");
    // The row lists are the compressed pattern of the transposed positions: columns ascending
    // within each row, every position summed in push order.
    std::vector<std::size_t> rows(entries.size()), cols(entries.size());
    std::vector<Complex> values(entries.size());
    for (std::size_t k = 0; k < entries.size(); ++k) {
        check_index(entries[k].row, n);
        if (entries[k].col >= n) stop("Y-bus triplet set should always form a valid sparse matrix");
        rows[k] = entries[k].row;
        cols[k] = entries[k].col;
        values[k] = entries[k].value;
    }
    const std::optional<CompressedPattern> transposed = compress_pattern(n, cols, rows);
    if (!transposed) stop("the Y-bus of " + std::to_string(n) + " buses is too large to index");
    std::vector<Complex> summed(transposed->entries());
    transposed->scatter<Complex>(values, summed);

    YBusSparse out;
    out.n = n;
    out.rows.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        auto& row = out.rows[i];
        row.reserve(transposed->col_ptr[i + 1] - transposed->col_ptr[i]);
        for (std::uint32_t e = transposed->col_ptr[i]; e < transposed->col_ptr[i + 1]; ++e) {
            row.emplace_back(transposed->row_idx[e], summed[e]);
        }
    }

    auto matrix = SparseMatrix::build(n, entries);
    if (!matrix) stop("Y-bus triplet set should always form a valid sparse matrix");
    out.matrix = std::move(*matrix);
    return out;
}

namespace network {

Complex effective_injection(const Bus& bus) {
    return add_zip_terms(Complex(bus.p_spec, bus.q_spec), bus.zip, bus.vm);
}

void InjectionSpec::assign(std::span<const Bus> buses) {
    const std::size_t n = buses.size();
    std::size_t count = 0;
    for (const Bus& bus : buses) count += bus.zip.size();
    if (count > std::numeric_limits<std::uint32_t>::max()) {
        stop("the " + std::to_string(count) + " ZIP terms need indices of more than 32 bits");
    }
    specified.resize(n);
    first.resize(n + 1);
    terms.clear();
    for (std::size_t b = 0; b < n; ++b) {
        specified[b] = Complex(buses[b].p_spec, buses[b].q_spec);
        first[b] = static_cast<std::uint32_t>(terms.size());
        terms.insert(terms.end(), buses[b].zip.begin(), buses[b].zip.end());
    }
    first[n] = static_cast<std::uint32_t>(count);
}

std::pair<std::vector<double>, std::vector<double>> power_injections(std::span<const Bus> buses,
                                                                     const YBusSparse& ybus) {
    InjectionWork work;
    power_injections(buses, ybus, work);
    std::vector<double> p(work.at.size()), q(work.at.size());
    for (std::size_t i = 0; i < work.at.size(); ++i) {
        p[i] = work.at[i].p;
        q[i] = work.at[i].q;
    }
    return {std::move(p), std::move(q)};
}

void power_injections(std::span<const Bus> buses, const YBusSparse& ybus, InjectionWork& work) {
    const std::size_t n = buses.size();
    check_bus_count(n, ybus.n);
    work.v.resize(n);
    work.current.resize(n);
    work.at.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        work.v[i] = phasor(buses[i]);
        work.at[i].vm = buses[i].vm;
        work.at[i].va = buses[i].va;
    }
    ybus.matrix.mul_vec_into(work.v, work.current);
    for (std::size_t i = 0; i < n; ++i) {
        const double vr = work.v[i].real(), vj = work.v[i].imag();
        const double ir = work.current[i].real(), ij = work.current[i].imag();
        work.at[i].p = vr * ir + vj * ij;
        work.at[i].q = vj * ir - vr * ij;
    }
}

std::vector<std::vector<std::size_t>> connected_components(const YBusSparse& ybus) {
    const std::size_t n = ybus.n;
    check_rows(ybus);
    std::vector<std::vector<std::size_t>> components;
    std::vector<char> visited(n, 0);
    std::vector<std::size_t> stack;
    for (std::size_t s = 0; s < n; ++s) {
        if (visited[s]) continue;
        std::vector<std::size_t> component;
        visited[s] = 1;
        stack.push_back(s);
        while (!stack.empty()) {
            const std::size_t v = stack.back();
            stack.pop_back();
            component.push_back(v);
            // Every stored position is an edge, whatever its value.
            for (const auto& [j, value] : ybus.rows[v]) {
                check_index(j, n);
                if (j != v && !visited[j]) {
                    visited[j] = 1;
                    stack.push_back(j);
                }
            }
        }
        std::sort(component.begin(), component.end());
        components.push_back(std::move(component));
    }
    return components;
}

std::vector<Classified> classify(std::span<const std::vector<std::size_t>> components,
                                 std::span<const Bus> buses) {
    std::vector<Classified> out;
    out.reserve(components.size());
    for (const auto& component : components) {
        Classified c;
        c.buses = component;
        for (const std::size_t b : component) {
            check_index(b, buses.size());
            if (is_slack(buses[b])) c.slacks.push_back(b);
        }
        const auto kind = c.slacks.empty()       ? ComponentKind::NoSlack
                          : c.slacks.size() == 1 ? ComponentKind::SingleSlack
                                                 : ComponentKind::MultiSlack;
        c.kind = kind;
        out.push_back(std::move(c));
    }
    return out;
}

namespace {

// The system of the guess over the PQ buses that `take` admits; absent when there is no such bus
// or KLU takes no such system. Each PQ injection becomes the admittance -conj(S), which draws S at
// unit magnitude; the Slack and PV buses are held at their voltages and move to the right-hand
// side. A bus left out shares no Y-bus entry with a bus taken (they lie in different components).
// The triplets come row by row in Y-bus order, a diagonal the row lacks last.
template <class Take>
std::optional<GuessSystem> guess_system(std::span<const Bus> buses, const YBusSparse& ybus,
                                        Take take) {
    const std::size_t n = buses.size();
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<std::size_t> unknowns;
    std::vector<std::size_t> position(n, kNone);
    for (std::size_t i = 0; i < n; ++i) {
        if (is_pq(buses[i]) && take(i)) {
            position[i] = unknowns.size();
            unknowns.push_back(i);
        }
    }
    const std::size_t m = unknowns.size();
    if (m == 0) return std::nullopt;
    std::vector<std::size_t> diagonal(m);
    std::vector<std::uint8_t> has_own(m, 0);
    std::vector<Complex> own(m, Complex(0.0, 0.0));
    std::vector<std::size_t> held_first(m + 1, 0);
    std::vector<std::pair<std::size_t, Complex>> held;
    std::vector<Triplet<Complex>> triplets;
    for (std::size_t k = 0; k < m; ++k) {
        const std::size_t i = unknowns[k];
        held_first[k] = held.size();
        bool has_diagonal = false;
        for (const auto& [j, y] : ybus.rows[i]) {
            check_index(j, n);
            if (j == i) {
                diagonal[k] = triplets.size();
                has_own[k] = 1;
                own[k] = y;
                has_diagonal = true;
            }
            if (position[j] != kNone) {
                triplets.push_back({k, position[j], y});
            } else {
                held.emplace_back(j, y);
            }
        }
        if (!has_diagonal) {
            diagonal[k] = triplets.size();
            triplets.push_back({k, k, Complex(0.0, 0.0)});
        }
    }
    held_first[m] = held.size();
    std::optional<ComplexSparseSystem> system = ComplexSparseSystem::create(m, triplets);
    if (!system) return std::nullopt;
    std::vector<Complex> values(triplets.size());
    for (std::size_t t = 0; t < triplets.size(); ++t) values[t] = triplets[t].value;
    return GuessSystem{*std::move(system),    std::move(unknowns), std::move(diagonal),
                       std::move(has_own),    std::move(own),      std::move(values),
                       std::move(held_first), std::move(held),     std::vector<Complex>(m)};
}

// The guess on `g` at the buses' specified injections and held voltages; false, with no bus
// changed, when the complex solve gives no result.
bool guess_voltages(std::span<Bus> buses, GuessSystem& g) {
    const std::size_t m = g.unknowns.size();
    for (std::size_t k = 0; k < m; ++k) {
        const std::size_t i = g.unknowns[k];
        check_index(i, buses.size());
        const Complex s = effective_injection(buses[i]);
        Complex diagonal = -std::conj(s);
        if (g.has_own[k]) {
            diagonal = g.own[k];
            diagonal -= std::conj(s);
        }
        g.values[g.diagonal[k]] = diagonal;
        Complex b(0.0, 0.0);
        for (std::size_t e = g.held_first[k]; e < g.held_first[k + 1]; ++e) {
            const auto& [j, y] = g.held[e];
            check_index(j, buses.size());
            b -= y * phasor(buses[j]);
        }
        g.rhs[k] = b;
    }
    const auto x = g.system.factor_and_solve_values(g.values, g.rhs);
    if (!x) return false;
    for (std::size_t k = 0; k < m; ++k) {
        const Complex v = (*x)[k];
        buses[g.unknowns[k]].vm = std::hypot(v.real(), v.imag());
        buses[g.unknowns[k]].va = std::atan2(v.imag(), v.real());
    }
    return true;
}

// The guess over the PQ buses that `take` admits, on the system kept in `system` (made when it is
// empty); false, with no bus changed, when the complex solve gives no result.
template <class Take>
bool guess_voltages(std::span<Bus> buses, const YBusSparse& ybus, Take take,
                    std::optional<GuessSystem>& system) {
    if (!system) system = guess_system(buses, ybus, take);
    if (system) return guess_voltages(buses, *system);
    // Without a system: nothing to solve, or KLU takes no system of these positions.
    for (std::size_t i = 0; i < buses.size(); ++i) {
        if (is_pq(buses[i]) && take(i)) return false;
    }
    return true;
}

}  // namespace

void linear_initial_guess(std::span<Bus> buses, const YBusSparse& ybus) {
    GuessCache cache;
    linear_initial_guess(buses, ybus, cache);
}

void linear_initial_guess(std::span<Bus> buses, const YBusSparse& ybus, GuessCache& cache) {
    check_bus_count(buses.size(), ybus.n);
    check_rows(ybus);
    if (guess_voltages(
            buses, ybus, [](std::size_t) { return true; }, cache.whole))
        return;
    // One sourceless component (an isolated bus with nothing attached, say) makes the whole
    // system singular. Its buses become zero-voltage placeholders in the Newton solve anyway, so
    // the guess is tried once more without them; they keep their values.
    if (cache.sourced) {
        guess_voltages(buses, *cache.sourced);
        return;
    }
    std::vector<char> sourced(buses.size(), 0);
    for (const Classified& c : classify(connected_components(ybus), buses)) {
        if (c.kind == ComponentKind::NoSlack) continue;
        for (std::size_t b : c.buses) sourced[b] = 1;
    }
    guess_voltages(
        buses, ybus, [&](std::size_t i) { return sourced[i] != 0; }, cache.sourced);
}

}  // namespace network
}  // namespace quillmere
