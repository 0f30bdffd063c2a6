#pragma once
// The typed records of a PGM JSON network file. Field names are the JSON keys and fields are
// declared in the order of the array form; a field's initialiser is its default when the key is
// absent (required fields start at zero and are always overwritten by a successful read).

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

namespace quillmere::pgm {

using Triple = std::array<double, 3>;

struct PgmNode {
    std::uint64_t id = 0;
    double u_rated = 0.0;

    bool operator==(const PgmNode&) const = default;
};

struct PgmLine {
    std::uint64_t id = 0;
    std::uint64_t from_node = 0;
    std::uint64_t to_node = 0;
    std::uint8_t from_status = 0;
    std::uint8_t to_status = 0;
    double r1 = 0.0;
    double x1 = 0.0;
    double c1 = 0.0;
    double r0 = 0.0;
    double x0 = 0.0;
    double c0 = 0.0;

    bool operator==(const PgmLine&) const = default;
};

struct PgmSource {
    std::uint64_t id = 0;
    std::uint64_t node = 0;
    std::uint8_t status = 0;
    double u_ref = 0.0;
    double sk = 0.0;
    double rx_ratio = 0.0;
    double z01_ratio = 1.0;

    bool operator==(const PgmSource&) const = default;
};

struct PgmSymLoad {
    std::uint64_t id = 0;
    std::uint64_t node = 0;
    std::uint8_t status = 0;
    std::uint8_t type = 0;
    double p_specified = 0.0;
    double q_specified = 0.0;

    bool operator==(const PgmSymLoad&) const = default;
};

struct PgmAsymLoad {
    std::uint64_t id = 0;
    std::uint64_t node = 0;
    std::uint8_t status = 0;
    std::uint8_t type = 0;
    Triple p_specified{};
    Triple q_specified{};

    bool operator==(const PgmAsymLoad&) const = default;
};

struct PgmSymGen {
    std::uint64_t id = 0;
    std::uint64_t node = 0;
    std::uint8_t status = 0;
    std::uint8_t type = 0;
    double p_specified = 0.0;
    double q_specified = 0.0;

    bool operator==(const PgmSymGen&) const = default;
};

struct PgmAsymGen {
    std::uint64_t id = 0;
    std::uint64_t node = 0;
    std::uint8_t status = 0;
    std::uint8_t type = 0;
    Triple p_specified{};
    Triple q_specified{};

    bool operator==(const PgmAsymGen&) const = default;
};

struct PgmShunt {
    std::uint64_t id = 0;
    std::uint64_t node = 0;
    std::uint8_t status = 0;
    double g1 = 0.0;
    double b1 = 0.0;
    double g0 = 0.0;
    double b0 = 0.0;

    bool operator==(const PgmShunt&) const = default;
};

struct PgmTransformer {
    std::uint64_t id = 0;
    std::uint64_t from_node = 0;
    std::uint64_t to_node = 0;
    std::uint8_t from_status = 0;
    std::uint8_t to_status = 0;
    double u1 = 0.0;
    double u2 = 0.0;
    double sn = 0.0;
    double uk = 0.0;
    double pk = 0.0;
    double i0 = 0.0;
    double p0 = 0.0;
    std::uint8_t winding_from = 0;
    std::uint8_t winding_to = 0;
    std::int32_t clock = 0;
    std::uint8_t tap_side = 0;
    std::int32_t tap_pos = 0;
    std::int32_t tap_min = 0;
    std::int32_t tap_max = 0;
    std::int32_t tap_nom = 0;
    double tap_size = 0.0;

    bool operator==(const PgmTransformer&) const = default;
};

struct PgmThreeWindingTransformer {
    std::uint64_t id = 0;
    std::uint64_t node_1 = 0;
    std::uint64_t node_2 = 0;
    std::uint64_t node_3 = 0;
    std::uint8_t status_1 = 0;
    std::uint8_t status_2 = 0;
    std::uint8_t status_3 = 0;
    double u1 = 0.0;
    double u2 = 0.0;
    double u3 = 0.0;
    double sn_1 = 0.0;
    double sn_2 = 0.0;
    double sn_3 = 0.0;
    double uk_12 = 0.0;
    double uk_13 = 0.0;
    double uk_23 = 0.0;
    double pk_12 = 0.0;
    double pk_13 = 0.0;
    double pk_23 = 0.0;
    double i0 = 0.0;
    double p0 = 0.0;
    std::int32_t clock_12 = 0;
    std::int32_t clock_13 = 0;
    std::uint8_t tap_side = 0;
    std::int32_t tap_pos = 0;
    std::int32_t tap_min = 0;
    std::int32_t tap_max = 0;
    std::int32_t tap_nom = 0;
    double tap_size = 0.0;

    bool operator==(const PgmThreeWindingTransformer&) const = default;
};

struct PgmVoltageRegulator {
    std::uint64_t id = 0;
    std::uint64_t regulated_object = 0;
    std::uint8_t status = 0;
    double u_ref = 0.0;
    double q_min = std::numeric_limits<double>::quiet_NaN();
    double q_max = std::numeric_limits<double>::quiet_NaN();

    bool operator==(const PgmVoltageRegulator&) const = default;
};

struct PgmData {
    std::vector<PgmNode> node;
    std::vector<PgmLine> line;
    std::vector<PgmSource> source;
    std::vector<PgmSymLoad> sym_load;
    std::vector<PgmAsymLoad> asym_load;
    std::vector<PgmSymGen> sym_gen;
    std::vector<PgmAsymGen> asym_gen;
    std::vector<PgmShunt> shunt;
    std::vector<PgmTransformer> transformer;
    std::vector<PgmThreeWindingTransformer> three_winding_transformer;
    std::vector<PgmVoltageRegulator> voltage_regulator;

    bool operator==(const PgmData&) const = default;
};

struct PgmInput {
    PgmData data;

    bool operator==(const PgmInput&) const = default;
};

}  // namespace quillmere::pgm
