#include "pgm/convert.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>

namespace quillmere::pgm {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kPi = 3.141592653589793;
constexpr double kInf = std::numeric_limits<double>::infinity();

// One entry per node id: its bus index and its rated voltage, found with a single lookup.
struct NodeEntry {
    std::size_t index = 0;
    double u_rated = 0.0;
};
using NodeTable = std::unordered_map<std::uint64_t, NodeEntry>;

// The first reference problem of a conversion stage, as the message to show; absent when none.
using Problem = std::optional<std::string>;

// The entry of node id `id`, or null when no node has it.
const NodeEntry* find_node(const NodeTable& nodes, std::uint64_t id) {
    const auto it = nodes.find(id);
    return it == nodes.end() ? nullptr : &it->second;
}

std::string unresolved(const char* kind, std::uint64_t id, const char* field, std::uint64_t node) {
    return std::string(kind) + " " + std::to_string(id) + ": " + field + " " +
           std::to_string(node) + " is not a node id";
}

// The smallest id that sorted node records repeat, with its count.
Problem repeated_id(std::span<const PgmNode> sorted) {
    for (std::size_t k = 1; k < sorted.size(); ++k) {
        const std::uint64_t id = sorted[k].id;
        if (id != sorted[k - 1].id) continue;
        std::size_t end = k + 1;
        while (end < sorted.size() && sorted[end].id == id) ++end;
        const std::size_t count = end - (k - 1);
        return "node id " + std::to_string(id) + " appears " +
               (count == 2 ? std::string("twice") : std::to_string(count) + " times");
    }
    return std::nullopt;
}

// Generator id -> its node, from every sym_gen whatever its status; a repeated id keeps the last.
std::unordered_map<std::uint64_t, std::uint64_t> generator_nodes(std::span<const PgmSymGen> gens) {
    std::unordered_map<std::uint64_t, std::uint64_t> nodes;
    nodes.reserve(gens.size());
    for (const PgmSymGen& gen : gens) nodes.insert_or_assign(gen.id, gen.node);
    return nodes;
}

double sum3(const std::array<double, 3>& v) {
    return (v[0] + v[1]) + v[2];
}

// An injection at a node id that names no node reaches no bus and fails nothing.
void add_injection(const NodeTable& nodes, std::vector<Bus>& buses, std::uint64_t node,
                   std::uint8_t type, double p, double q, double sign, double s_base) {
    const NodeEntry* entry = find_node(nodes, node);
    if (entry == nullptr) return;
    const double p_pu = (p * sign) / s_base;
    const double q_pu = (q * sign) / s_base;
    Bus& bus = buses[entry->index];
    if (type == 1) {
        bus.zip.push_back({Complex{p_pu, q_pu}, ZipKind::ConstantImpedance});
    } else if (type == 2) {
        bus.zip.push_back({Complex{p_pu, q_pu}, ZipKind::ConstantCurrent});
    } else {
        bus.p_spec += p_pu;
        bus.q_spec += q_pu;
    }
}

// Loads draw, generators feed, in the order sym_load, sym_gen, asym_load, asym_gen.
void add_injections(const PgmData& data, const NodeTable& nodes, double s_base,
                    std::vector<Bus>& buses) {
    for (const PgmSymLoad& r : data.sym_load) {
        if (r.status == 0) continue;
        add_injection(nodes, buses, r.node, r.type, r.p_specified, r.q_specified, -1.0, s_base);
    }
    for (const PgmSymGen& r : data.sym_gen) {
        if (r.status == 0) continue;
        add_injection(nodes, buses, r.node, r.type, r.p_specified, r.q_specified, 1.0, s_base);
    }
    for (const PgmAsymLoad& r : data.asym_load) {
        if (r.status == 0) continue;
        add_injection(nodes, buses, r.node, r.type, sum3(r.p_specified), sum3(r.q_specified), -1.0,
                      s_base);
    }
    for (const PgmAsymGen& r : data.asym_gen) {
        if (r.status == 0) continue;
        add_injection(nodes, buses, r.node, r.type, sum3(r.p_specified), sum3(r.q_specified), 1.0,
                      s_base);
    }
}

Bus plain_bus(std::size_t index, double vm, double u_rated, BusType type) {
    Bus bus;
    bus.index = index;
    bus.vm = vm;
    bus.u_rated = u_rated;
    bus.bus_type = type;
    return bus;
}

Problem convert_shunts(std::span<const PgmShunt> records, const NodeTable& nodes, double s_base,
                       std::vector<ShuntAdm>& out) {
    for (const PgmShunt& r : records) {
        if (r.status == 0) continue;
        const NodeEntry* node = find_node(nodes, r.node);
        if (node == nullptr) return unresolved("shunt", r.id, "node", r.node);
        const double y_base = s_base / (node->u_rated * node->u_rated);
        out.push_back(ShuntAdm{Complex{r.g1 / y_base, r.b1 / y_base}, node->index});
    }
    return std::nullopt;
}

// A regulator naming no sym_gen is ignored; one whose generator's node is unknown is refused.
Problem apply_regulators(const PgmData& data, const NodeTable& nodes, double s_base,
                         std::vector<Bus>& buses) {
    if (data.voltage_regulator.empty()) return std::nullopt;
    const auto gen_node = generator_nodes(data.sym_gen);
    for (const PgmVoltageRegulator& reg : data.voltage_regulator) {
        if (reg.status == 0) continue;
        const auto it = gen_node.find(reg.regulated_object);
        if (it == gen_node.end()) continue;
        const NodeEntry* node = find_node(nodes, it->second);
        if (node == nullptr) {
            return "voltage_regulator " + std::to_string(reg.id) + ": node " +
                   std::to_string(it->second) + " of sym_gen " +
                   std::to_string(reg.regulated_object) + " is not a node id";
        }
        Bus& bus = buses[node->index];
        if (bus.bus_type != BusType::PQ) continue;
        bus.bus_type = BusType::PV;
        bus.vm = reg.u_ref;
        bus.q_min = std::isnan(reg.q_min) ? -kInf : reg.q_min / s_base;
        bus.q_max = std::isnan(reg.q_max) ? kInf : reg.q_max / s_base;
    }
    return std::nullopt;
}

// Only the ends a line in service uses are looked up: from before to.
Problem convert_lines(std::span<const PgmLine> records, const NodeTable& nodes, double s_base,
                      double omega, std::vector<Line>& lines) {
    for (const PgmLine& r : records) {
        if (r.from_status == 1 && r.to_status == 1) {
            const NodeEntry* from = find_node(nodes, r.from_node);
            if (from == nullptr) return unresolved("line", r.id, "from_node", r.from_node);
            const NodeEntry* to = find_node(nodes, r.to_node);
            if (to == nullptr) return unresolved("line", r.id, "to_node", r.to_node);
            const double z_base = (from->u_rated * from->u_rated) / s_base;
            lines.push_back(Line{from->index, to->index, r.r1 / z_base, r.x1 / z_base,
                                 z_base * (omega * r.c1), 0.0});
        } else if ((r.from_status == 1 && r.to_status == 0) ||
                   (r.from_status == 0 && r.to_status == 1)) {
            const bool at_from = r.from_status == 1;
            const std::uint64_t id = at_from ? r.from_node : r.to_node;
            const NodeEntry* end = find_node(nodes, id);
            if (end == nullptr)
                return unresolved("line", r.id, at_from ? "from_node" : "to_node", id);
            const double z_base = (end->u_rated * end->u_rated) / s_base;
            lines.push_back(Line{end->index, end->index, 0.0, 0.0, z_base * (omega * r.c1), 0.0});
        }
    }
    return std::nullopt;
}

Complex polar_tap(double ratio, double angle) {
    return Complex{ratio * std::cos(angle), ratio * std::sin(angle)};
}

// Integer differences of the tap data are taken in 64 bits: the 32-bit operands cannot overflow
// there, and the exact difference is the only meaningful one.
double int_difference(std::int32_t a, std::int32_t b) {
    return static_cast<double>(static_cast<std::int64_t>(a) - static_cast<std::int64_t>(b));
}

Problem convert_two_winding(std::span<const PgmTransformer> records, const NodeTable& nodes,
                            double s_base, std::vector<Transformer>& out) {
    for (const PgmTransformer& r : records) {
        const NodeEntry* from = find_node(nodes, r.from_node);
        if (from == nullptr) return unresolved("transformer", r.id, "from_node", r.from_node);
        const NodeEntry* to = find_node(nodes, r.to_node);
        if (to == nullptr) return unresolved("transformer", r.id, "to_node", r.to_node);
        const std::int32_t lo = std::min(r.tap_min, r.tap_max);
        const std::int32_t hi = std::max(r.tap_min, r.tap_max);
        const std::int32_t pos = std::clamp(r.tap_pos, lo, hi);
        const double du = r.tap_size * int_difference(pos, r.tap_nom);
        const double ratio = r.tap_side == 0 ? (r.u1 + du) / r.u1 : r.u2 / (r.u2 + du);
        const double theta = (static_cast<double>(r.clock) * kPi) / 6.0;
        const auto [y_series, y_mag] =
            network::transformer_admittances_ex(r.u2, r.u2, r.sn, r.uk, r.pk, r.i0, r.p0, s_base);
        out.push_back(Transformer{y_series, y_mag, polar_tap(ratio, theta), from->index, to->index,
                                  r.from_status, r.to_status});
    }
    return std::nullopt;
}

Problem convert_three_winding(std::span<const PgmThreeWindingTransformer> records,
                              const NodeTable& nodes, std::size_t n_nodes, double s_base,
                              std::vector<Bus>& buses, std::vector<Transformer>& out) {
    for (std::size_t i = 0; i < records.size(); ++i) {
        const PgmThreeWindingTransformer& r = records[i];
        const std::pair<const char*, std::uint64_t> ends[] = {
            {"node_1", r.node_1}, {"node_2", r.node_2}, {"node_3", r.node_3}};
        const NodeEntry* node[3] = {};
        for (std::size_t w = 0; w < 3; ++w) {
            node[w] = find_node(nodes, ends[w].second);
            if (node[w] == nullptr) {
                return unresolved("three_winding_transformer", r.id, ends[w].first, ends[w].second);
            }
        }
        const double u_r1 = node[0]->u_rated;
        const double u_r2 = node[1]->u_rated;
        const double u_r3 = node[2]->u_rated;

        double d = int_difference(r.tap_pos, r.tap_nom);
        if (!(r.tap_max > r.tap_min)) d = -d;
        const double du = r.tap_size * d;
        double u1 = r.u1;
        double u2 = r.u2;
        double u3 = r.u3;
        if (r.tap_side == 0) {
            u1 = u1 + du;
        } else if (r.tap_side == 1) {
            u2 = u2 + du;
        } else {
            u3 = u3 + du;
        }

        // std::fmin ignores a NaN operand, so one unknown rating does not poison a pair.
        const double s12 = std::fmin(r.sn_1, r.sn_2);
        const double s13 = std::fmin(r.sn_1, r.sn_3);
        const double s23 = std::fmin(r.sn_2, r.sn_3);
        const double uk12 = (r.sn_1 * r.uk_12) / s12;
        const double uk13 = (r.sn_1 * r.uk_13) / s13;
        const double uk23 = (r.sn_1 * r.uk_23) / s23;
        const double q12 = r.sn_1 / s12;
        const double q13 = r.sn_1 / s13;
        const double q23 = r.sn_1 / s23;
        const double pk12 = (q12 * q12) * r.pk_12;
        const double pk13 = (q13 * q13) * r.pk_13;
        const double pk23 = (q23 * q23) * r.pk_23;
        const double uk_1 = ((uk12 + uk13) - uk23) * 0.5;
        const double uk_2 = ((uk12 + uk23) - uk13) * 0.5;
        const double uk_3 = ((uk13 + uk23) - uk12) * 0.5;
        const double pk_1 = ((pk12 + pk13) - pk23) * 0.5;
        const double pk_2 = ((pk12 + pk23) - pk13) * 0.5;
        const double pk_3 = ((pk13 + pk23) - pk12) * 0.5;

        const std::size_t star = n_nodes + i;
        buses.push_back(plain_bus(star, 1.0, u_r1, BusType::PQ));

        const double f2 = r.sn_2 / r.sn_1;
        const double f3 = r.sn_3 / r.sn_1;
        const auto [ys1, ym1] =
            network::transformer_admittances_ex(u1, u_r1, r.sn_1, uk_1, pk_1, r.i0, r.p0, s_base);
        const auto [ys2, ym2] = network::transformer_admittances_ex(
            u1, u_r1, r.sn_2, f2 * uk_2, (f2 * f2) * pk_2, 0.0, 0.0, s_base);
        const auto [ys3, ym3] = network::transformer_admittances_ex(
            u1, u_r1, r.sn_3, f3 * uk_3, (f3 * f3) * pk_3, 0.0, 0.0, s_base);

        const double shift_2 = (int_difference(12, r.clock_12) * kPi) / 6.0;
        const double shift_3 = (int_difference(12, r.clock_13) * kPi) / 6.0;
        const Complex tap_1 = polar_tap((u_r1 * u1) / (u_r1 * u1), 0.0);
        const Complex tap_2 = polar_tap((u_r1 * u2) / (u_r2 * u1), shift_2);
        const Complex tap_3 = polar_tap((u_r1 * u3) / (u_r3 * u1), shift_3);

        out.push_back(Transformer{ys1, ym1, tap_1, node[0]->index, star, r.status_1, 1});
        out.push_back(Transformer{ys2, ym2, tap_2, node[1]->index, star, r.status_2, 1});
        out.push_back(Transformer{ys3, ym3, tap_3, node[2]->index, star, r.status_3, 1});
    }
    return std::nullopt;
}

Problem convert_sources(std::span<const PgmSource> records, const NodeTable& nodes, double s_base,
                        std::vector<Bus>& buses, std::vector<Line>& lines) {
    for (const PgmSource& r : records) {
        if (r.status == 0) continue;
        const NodeEntry* node = find_node(nodes, r.node);
        if (node == nullptr) return unresolved("source", r.id, "node", r.node);
        const double z = s_base / r.sk;
        const double x = z / std::sqrt(r.rx_ratio * r.rx_ratio + 1.0);
        const double res = r.rx_ratio * x;
        const std::size_t slack = buses.size();
        buses.push_back(plain_bus(slack, r.u_ref, node->u_rated, BusType::Slack));
        lines.push_back(Line{slack, node->index, res, x, 0.0, 0.0});
    }
    return std::nullopt;
}

}  // namespace

std::variant<ConvertedNetwork, std::string> convert_pgm(const PgmData& data, double s_base,
                                                        double freq_hz) {
    // Bus k is the node of the k-th smallest id: the one ranking every lookup below uses.
    std::vector<PgmNode> sorted(data.node.begin(), data.node.end());
    std::sort(sorted.begin(), sorted.end(),
              [](const PgmNode& a, const PgmNode& b) { return a.id < b.id; });
    if (auto problem = repeated_id(sorted)) return std::move(*problem);
    const std::size_t n_nodes = sorted.size();
    NodeTable nodes;
    nodes.reserve(n_nodes);
    for (std::size_t k = 0; k < n_nodes; ++k) {
        nodes.emplace(sorted[k].id, NodeEntry{k, sorted[k].u_rated});
    }

    const std::size_t n_active_sources = static_cast<std::size_t>(std::count_if(
        data.source.begin(), data.source.end(), [](const PgmSource& s) { return s.status != 0; }));
    ConvertedNetwork out;
    out.buses.reserve(n_nodes + data.three_winding_transformer.size() + n_active_sources);
    for (std::size_t k = 0; k < n_nodes; ++k) {
        out.buses.push_back(plain_bus(k, 1.0, sorted[k].u_rated, BusType::PQ));
    }
    add_injections(data, nodes, s_base, out.buses);

    // The stages run in the order their reference problems are reported.
    const double omega = freq_hz * kTwoPi;
    out.lines.reserve(data.line.size() + n_active_sources);
    out.transformers.reserve(data.transformer.size() + 3 * data.three_winding_transformer.size());
    if (auto p = convert_shunts(data.shunt, nodes, s_base, out.shunts)) return std::move(*p);
    if (auto p = apply_regulators(data, nodes, s_base, out.buses)) return std::move(*p);
    if (auto p = convert_lines(data.line, nodes, s_base, omega, out.lines)) return std::move(*p);
    if (auto p = convert_two_winding(data.transformer, nodes, s_base, out.transformers)) {
        return std::move(*p);
    }
    if (auto p = convert_three_winding(data.three_winding_transformer, nodes, n_nodes, s_base,
                                       out.buses, out.transformers)) {
        return std::move(*p);
    }
    if (auto p = convert_sources(data.source, nodes, s_base, out.buses, out.lines)) {
        return std::move(*p);
    }
    return out;
}

}  // namespace quillmere::pgm
