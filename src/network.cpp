#include "network.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "compressed_pattern.hpp"
#include "stop.hpp"

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
    Complex s(bus.p_spec, bus.q_spec);
    const double vm = bus.vm;
    for (const auto& term : bus.zip) {
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

std::pair<std::vector<double>, std::vector<double>> power_injections(std::span<const Bus> buses,
                                                                     const YBusSparse& ybus) {
    InjectionWork work;
    power_injections(buses, ybus, work);
    return {std::move(work.p), std::move(work.q)};
}

void power_injections(std::span<const Bus> buses, const YBusSparse& ybus, InjectionWork& work) {
    const std::size_t n = buses.size();
    check_bus_count(n, ybus.n);
    work.v.resize(n);
    work.current.resize(n);
    work.p.resize(n);
    work.q.resize(n);
    for (std::size_t i = 0; i < n; ++i) work.v[i] = phasor(buses[i]);
    ybus.matrix.mul_vec_into(work.v, work.current);
    for (std::size_t i = 0; i < n; ++i) {
        const Complex vi = work.v[i], ii = work.current[i];
        work.p[i] = vi.real() * ii.real() + vi.imag() * ii.imag();
        work.q[i] = vi.imag() * ii.real() - vi.real() * ii.imag();
    }
}

std::pair<double, double> bus_mismatch(const Bus& bus, double p, double q) {
    const Complex s = effective_injection(bus);
    return {s.real() - p, s.imag() - q};
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

// The guess over the PQ buses that `take` admits, on the system kept in `system` (made when it is
// empty); false, with no bus changed, when the complex solve gives no result.
template <class Take>
bool guess_voltages(std::span<Bus> buses, const YBusSparse& ybus, Take take,
                    std::optional<ComplexSparseSystem>& system) {
    const std::size_t n = buses.size();
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<std::size_t> pq;
    std::vector<std::size_t> position(n, kNone);
    for (std::size_t i = 0; i < n; ++i) {
        if (is_pq(buses[i]) && take(i)) {
            position[i] = pq.size();
            pq.push_back(i);
        }
    }
    const std::size_t m = pq.size();
    if (m == 0) return true;

    // Each PQ injection becomes the admittance -conj(S), which draws S at unit magnitude; the
    // Slack and PV buses are held at their voltages and move to the right-hand side. A bus left
    // out shares no Y-bus entry with a bus taken (they lie in different components).
    std::vector<Complex> b(m, Complex(0.0, 0.0));
    std::vector<Triplet<Complex>> triplets;
    for (std::size_t k = 0; k < m; ++k) {
        const std::size_t i = pq[k];
        const Complex s = effective_injection(buses[i]);
        bool has_diagonal = false;
        for (const auto& [j, y] : ybus.rows[i]) {
            check_index(j, n);
            Complex coefficient = y;
            if (j == i) {
                coefficient -= std::conj(s);
                has_diagonal = true;
            }
            if (position[j] != kNone) {
                triplets.push_back({k, position[j], coefficient});
            } else {
                b[k] -= coefficient * phasor(buses[j]);
            }
        }
        if (!has_diagonal) triplets.push_back({k, k, -std::conj(s)});
    }

    if (!system) system = ComplexSparseSystem::create(m, triplets);
    if (!system) return false;
    std::vector<Complex> values(triplets.size());
    for (std::size_t k = 0; k < triplets.size(); ++k) values[k] = triplets[k].value;
    const auto x = system->factor_and_solve_values(values, b);
    if (!x) return false;
    for (std::size_t k = 0; k < m; ++k) {
        const Complex v = (*x)[k];
        buses[pq[k]].vm = std::hypot(v.real(), v.imag());
        buses[pq[k]].va = std::atan2(v.imag(), v.real());
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
