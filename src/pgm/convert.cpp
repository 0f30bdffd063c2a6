#include "pgm/convert.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "stop.hpp"

namespace quillmere::pgm {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kPi = 3.141592653589793;
constexpr double kInf = std::numeric_limits<double>::infinity();

using RatedVoltageMap = std::unordered_map<std::uint64_t, double>;

// What the injections put on one node id: constant-power sums and voltage-dependent terms.
struct NodeInjection {
    double p = 0.0;
    double q = 0.0;
    std::vector<ZipTerm> zip;
};

std::size_t index_of(const NodeIndexMap& index, std::uint64_t node) {
    const auto it = index.find(node);
    if (it == index.end()) stop("node id " + std::to_string(node) + " is not a node id");
    return it->second;
}

double rated_voltage_of(const RatedVoltageMap& rated, std::uint64_t node) {
    const auto it = rated.find(node);
    if (it == rated.end()) stop("node id " + std::to_string(node) + " is not a node id");
    return it->second;
}

RatedVoltageMap rated_voltages(std::span<const PgmNode> nodes) {
    RatedVoltageMap rated;
    rated.reserve(nodes.size());
    for (const PgmNode& node : nodes) rated.insert_or_assign(node.id, node.u_rated);
    return rated;
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

void add_injection(std::unordered_map<std::uint64_t, NodeInjection>& injections, std::uint64_t node,
                   std::uint8_t type, double p, double q, double sign, double s_base) {
    const double p_pu = (p * sign) / s_base;
    const double q_pu = (q * sign) / s_base;
    NodeInjection& inj = injections[node];
    if (type == 1) {
        inj.zip.push_back(
            {Complex{p_pu, q_pu}, static_cast<std::uint8_t>(ZipKind::ConstantImpedance)});
    } else if (type == 2) {
        inj.zip.push_back(
            {Complex{p_pu, q_pu}, static_cast<std::uint8_t>(ZipKind::ConstantCurrent)});
    } else {
        inj.p += p_pu;
        inj.q += q_pu;
    }
}

std::unordered_map<std::uint64_t, NodeInjection> collect_injections(const PgmData& data,
                                                                    double s_base) {
    std::unordered_map<std::uint64_t, NodeInjection> injections;
    for (const PgmSymLoad& r : data.sym_load) {
        if (r.status == 0) continue;
        add_injection(injections, r.node, r.type, r.p_specified, r.q_specified, -1.0, s_base);
    }
    for (const PgmSymGen& r : data.sym_gen) {
        if (r.status == 0) continue;
        add_injection(injections, r.node, r.type, r.p_specified, r.q_specified, 1.0, s_base);
    }
    for (const PgmAsymLoad& r : data.asym_load) {
        if (r.status == 0) continue;
        add_injection(injections, r.node, r.type, sum3(r.p_specified), sum3(r.q_specified), -1.0,
                      s_base);
    }
    for (const PgmAsymGen& r : data.asym_gen) {
        if (r.status == 0) continue;
        add_injection(injections, r.node, r.type, sum3(r.p_specified), sum3(r.q_specified), 1.0,
                      s_base);
    }
    return injections;
}

Bus plain_bus(std::size_t index, double vm, double u_rated, BusType type) {
    Bus bus;
    bus.index = index;
    bus.vm = vm;
    bus.u_rated = u_rated;
    bus.bus_type = static_cast<std::uint8_t>(type);
    return bus;
}

void apply_regulators(const PgmData& data, const NodeIndexMap& index, double s_base,
                      std::vector<Bus>& buses) {
    if (data.voltage_regulator.empty()) return;
    const auto gen_node = generator_nodes(data.sym_gen);
    for (const PgmVoltageRegulator& reg : data.voltage_regulator) {
        if (reg.status == 0) continue;
        const auto it = gen_node.find(reg.regulated_object);
        if (it == gen_node.end()) continue;
        Bus& bus = buses[index_of(index, it->second)];
        if (bus.bus_type != static_cast<std::uint8_t>(BusType::PQ)) continue;
        bus.bus_type = static_cast<std::uint8_t>(BusType::PV);
        bus.vm = reg.u_ref;
        bus.q_min = std::isnan(reg.q_min) ? -kInf : reg.q_min / s_base;
        bus.q_max = std::isnan(reg.q_max) ? kInf : reg.q_max / s_base;
    }
}

Line charging_shunt(std::size_t bus, double z_base, double omega, double c1) {
    return Line{bus, bus, 0.0, 0.0, z_base * (omega * c1), 0.0};
}

void convert_lines(std::span<const PgmLine> records, const NodeIndexMap& index,
                   const RatedVoltageMap& rated, double s_base, double omega,
                   std::vector<Line>& lines) {
    for (const PgmLine& r : records) {
        if (r.from_status == 1 && r.to_status == 1) {
            const double u = rated_voltage_of(rated, r.from_node);
            const double z_base = (u * u) / s_base;
            lines.push_back(Line{index_of(index, r.from_node), index_of(index, r.to_node),
                                 r.r1 / z_base, r.x1 / z_base, z_base * (omega * r.c1), 0.0});
        } else if (r.from_status == 1 && r.to_status == 0) {
            const double u = rated_voltage_of(rated, r.from_node);
            lines.push_back(
                charging_shunt(index_of(index, r.from_node), (u * u) / s_base, omega, r.c1));
        } else if (r.from_status == 0 && r.to_status == 1) {
            const double u = rated_voltage_of(rated, r.to_node);
            lines.push_back(
                charging_shunt(index_of(index, r.to_node), (u * u) / s_base, omega, r.c1));
        }
    }
}

Complex polar_tap(double ratio, double angle) {
    return Complex{ratio * std::cos(angle), ratio * std::sin(angle)};
}

// Integer differences of the tap data are taken in 64 bits: the 32-bit operands cannot overflow
// there, and the exact difference is the only meaningful one.
double int_difference(std::int32_t a, std::int32_t b) {
    return static_cast<double>(static_cast<std::int64_t>(a) - static_cast<std::int64_t>(b));
}

void convert_two_winding(std::span<const PgmTransformer> records, const NodeIndexMap& index,
                         double s_base, std::vector<Transformer>& out) {
    for (const PgmTransformer& r : records) {
        const std::int32_t lo = std::min(r.tap_min, r.tap_max);
        const std::int32_t hi = std::max(r.tap_min, r.tap_max);
        const std::int32_t pos = std::clamp(r.tap_pos, lo, hi);
        const double du = r.tap_size * int_difference(pos, r.tap_nom);
        const double ratio = r.tap_side == 0 ? (r.u1 + du) / r.u1 : r.u2 / (r.u2 + du);
        const double theta = (static_cast<double>(r.clock) * kPi) / 6.0;
        const auto [y_series, y_mag] =
            network::transformer_admittances_ex(r.u2, r.u2, r.sn, r.uk, r.pk, r.i0, r.p0, s_base);
        const std::size_t from = index_of(index, r.from_node);
        const std::size_t to = index_of(index, r.to_node);
        out.push_back(Transformer{y_series, y_mag, polar_tap(ratio, theta), from, to, r.from_status,
                                  r.to_status});
    }
}

void convert_three_winding(std::span<const PgmThreeWindingTransformer> records,
                           const NodeIndexMap& index, const RatedVoltageMap& rated,
                           std::size_t n_nodes, double s_base, std::vector<Bus>& buses,
                           std::vector<Transformer>& out) {
    for (std::size_t i = 0; i < records.size(); ++i) {
        const PgmThreeWindingTransformer& r = records[i];
        const double u_r1 = rated_voltage_of(rated, r.node_1);
        const double u_r2 = rated_voltage_of(rated, r.node_2);
        const double u_r3 = rated_voltage_of(rated, r.node_3);

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

        out.push_back(Transformer{ys1, ym1, tap_1, index_of(index, r.node_1), star, r.status_1, 1});
        out.push_back(Transformer{ys2, ym2, tap_2, index_of(index, r.node_2), star, r.status_2, 1});
        out.push_back(Transformer{ys3, ym3, tap_3, index_of(index, r.node_3), star, r.status_3, 1});
    }
}

void convert_sources(std::span<const PgmSource> records, const NodeIndexMap& index,
                     const RatedVoltageMap& rated, double s_base, std::vector<Bus>& buses,
                     std::vector<Line>& lines) {
    for (const PgmSource& r : records) {
        if (r.status == 0) continue;
        const double z = s_base / r.sk;
        const double x = z / std::sqrt(r.rx_ratio * r.rx_ratio + 1.0);
        const double res = r.rx_ratio * x;
        const double u = rated_voltage_of(rated, r.node);
        const std::size_t slack = buses.size();
        buses.push_back(plain_bus(slack, r.u_ref, u, BusType::Slack));
        lines.push_back(Line{slack, index_of(index, r.node), res, x, 0.0, 0.0});
    }
}

std::string unresolved(const char* kind, std::uint64_t id, const char* field, std::uint64_t node) {
    return std::string(kind) + " " + std::to_string(id) + ": " + field + " " +
           std::to_string(node) + " is not a node id";
}

}  // namespace

NodeIndexMap node_id_to_idx(std::span<const PgmNode> nodes) {
    std::vector<std::uint64_t> ids;
    ids.reserve(nodes.size());
    for (const PgmNode& node : nodes) ids.push_back(node.id);
    std::sort(ids.begin(), ids.end());
    NodeIndexMap index;
    index.reserve(ids.size());
    for (std::size_t k = 0; k < ids.size(); ++k) index.insert_or_assign(ids[k], k);
    return index;
}

std::optional<std::string> find_reference_error(const PgmData& data) {
    std::vector<std::uint64_t> ids;
    ids.reserve(data.node.size());
    for (const PgmNode& node : data.node) ids.push_back(node.id);
    std::sort(ids.begin(), ids.end());
    for (std::size_t k = 1; k < ids.size(); ++k) {
        if (ids[k] != ids[k - 1]) continue;
        std::size_t end = k + 1;
        while (end < ids.size() && ids[end] == ids[k]) ++end;
        const std::size_t count = end - (k - 1);
        return "node id " + std::to_string(ids[k]) + " appears " +
               (count == 2 ? std::string("twice") : std::to_string(count) + " times");
    }
    const NodeIndexMap index = node_id_to_idx(data.node);
    const auto known = [&](std::uint64_t node) { return index.find(node) != index.end(); };

    for (const PgmShunt& r : data.shunt) {
        if (r.status != 0 && !known(r.node)) return unresolved("shunt", r.id, "node", r.node);
    }
    if (!data.voltage_regulator.empty()) {
        const auto gen_node = generator_nodes(data.sym_gen);
        for (const PgmVoltageRegulator& r : data.voltage_regulator) {
            if (r.status == 0) continue;
            const auto it = gen_node.find(r.regulated_object);
            if (it == gen_node.end() || known(it->second)) continue;
            return "voltage_regulator " + std::to_string(r.id) + ": node " +
                   std::to_string(it->second) + " of sym_gen " +
                   std::to_string(r.regulated_object) + " is not a node id";
        }
    }
    for (const PgmLine& r : data.line) {
        const bool from_used = r.from_status == 1 && (r.to_status == 0 || r.to_status == 1);
        const bool to_used = r.to_status == 1 && (r.from_status == 0 || r.from_status == 1);
        if (from_used && !known(r.from_node)) {
            return unresolved("line", r.id, "from_node", r.from_node);
        }
        if (to_used && !known(r.to_node)) return unresolved("line", r.id, "to_node", r.to_node);
    }
    for (const PgmTransformer& r : data.transformer) {
        if (!known(r.from_node)) return unresolved("transformer", r.id, "from_node", r.from_node);
        if (!known(r.to_node)) return unresolved("transformer", r.id, "to_node", r.to_node);
    }
    for (const PgmThreeWindingTransformer& r : data.three_winding_transformer) {
        const std::pair<const char*, std::uint64_t> nodes[] = {
            {"node_1", r.node_1}, {"node_2", r.node_2}, {"node_3", r.node_3}};
        for (const auto& [field, node] : nodes) {
            if (!known(node)) return unresolved("three_winding_transformer", r.id, field, node);
        }
    }
    for (const PgmSource& r : data.source) {
        if (r.status != 0 && !known(r.node)) return unresolved("source", r.id, "node", r.node);
    }
    return std::nullopt;
}

std::vector<ShuntAdm> pgm_shunts_1ph(std::span<const PgmNode> nodes,
                                     std::span<const PgmShunt> shunts, double s_base) {
    const NodeIndexMap index = node_id_to_idx(nodes);
    const RatedVoltageMap rated = rated_voltages(nodes);
    std::vector<ShuntAdm> out;
    for (const PgmShunt& r : shunts) {
        if (r.status == 0) continue;
        const double u = rated_voltage_of(rated, r.node);
        const double y_base = s_base / (u * u);
        out.push_back(ShuntAdm{Complex{r.g1 / y_base, r.b1 / y_base}, index_of(index, r.node)});
    }
    return out;
}

BusesAndBranches pgm_to_buses_and_branches(const PgmData& data, double s_base, double freq_hz) {
    const double omega = freq_hz * kTwoPi;
    const NodeIndexMap index = node_id_to_idx(data.node);
    const RatedVoltageMap rated = rated_voltages(data.node);
    auto injections = collect_injections(data, s_base);

    std::vector<std::uint64_t> ids;
    ids.reserve(data.node.size());
    for (const PgmNode& node : data.node) ids.push_back(node.id);
    std::sort(ids.begin(), ids.end());
    if (std::adjacent_find(ids.begin(), ids.end()) != ids.end()) {
        stop("node ids must be unique before the network is converted");
    }

    const std::size_t n_nodes = ids.size();
    const std::size_t n_active_sources = static_cast<std::size_t>(std::count_if(
        data.source.begin(), data.source.end(), [](const PgmSource& s) { return s.status != 0; }));
    BusesAndBranches out;
    out.buses.resize(n_nodes);
    out.buses.reserve(n_nodes + data.three_winding_transformer.size() + n_active_sources);
    for (const std::uint64_t id : ids) {
        const std::size_t b = index_of(index, id);
        Bus bus = plain_bus(b, 1.0, rated_voltage_of(rated, id), BusType::PQ);
        if (auto node = injections.extract(id)) {
            bus.p_spec = node.mapped().p;
            bus.q_spec = node.mapped().q;
            bus.zip = std::move(node.mapped().zip);
        }
        out.buses[b] = std::move(bus);
    }
    injections.clear();

    apply_regulators(data, index, s_base, out.buses);
    convert_lines(data.line, index, rated, s_base, omega, out.lines);
    out.transformers.reserve(data.transformer.size() + 3 * data.three_winding_transformer.size());
    convert_two_winding(data.transformer, index, s_base, out.transformers);
    convert_three_winding(data.three_winding_transformer, index, rated, n_nodes, s_base, out.buses,
                          out.transformers);
    convert_sources(data.source, index, rated, s_base, out.buses, out.lines);
    return out;
}

}  // namespace quillmere::pgm
