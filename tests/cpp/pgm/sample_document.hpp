#pragma once
// A valid document with one record of every kind, most fields away from their defaults, records
// of both forms, optional fields left out, and unknown keys with values of every JSON type.

#include <string>

inline const std::string kSampleDocument = R"({"version": "1.0", "data": {
  "node": [[1, 10500.0], {"u_rated": 400, "id": 18446744073709551615, "x": [{}]}],
  "line": [{"id": 3, "from_node": 1, "to_node": 2, "from_status": 1, "to_status": 0, "r1": 0.25,
    "x1": 0.5, "c1": 1e-9, "r0": 0.75, "x0": 1.5, "c0": 2e-9}],
  "source": [{"id": 4, "node": 1, "status": 1, "u_ref": 1.05, "sk": 1e10, "rx_ratio": 0.1,
    "z01_ratio": 3.0}, {"id": 13, "node": 2, "status": 1, "u_ref": 1, "sk": 2, "rx_ratio": 3}],
  "sym_load": [{"id": 5, "node": 2, "status": 1, "type": 2, "p_specified": 1000,
    "q_specified": -200.5}],
  "asym_load": [{"id": 6, "node": 2, "status": 0, "type": 1, "p_specified": [1, 2, 3],
    "q_specified": [-1, -0.3, 3e2]}],
  "sym_gen": [{"id": 7, "node": 2, "status": 1, "type": 255, "p_specified": -0.0,
    "q_specified": 12345678901234567890}, {"id": 14, "node": 2, "status": 1, "p_specified": 4,
    "q_specified": 5}],
  "asym_gen": [[8, 1, 1, 0, [0.1, 0.2, 0.3], [4, 5, 6]]],
  "shunt": [{"id": 9, "node": 2, "status": 1, "g1": 0.01, "b1": -0.02, "g0": 0.03, "b0": 0.04}],
  "transformer": [{"id": 10, "from_node": 1, "to_node": 2, "from_status": 1, "to_status": 1,
    "u1": 10500, "u2": 400, "sn": 630000, "uk": 0.04, "pk": 5000, "i0": 0.01, "p0": 1000,
    "clock": -11, "tap_side": 0, "tap_pos": -3, "tap_min": -2147483648, "tap_max": 2147483647,
    "tap_nom": 0, "tap_size": 250}],
  "three_winding_transformer": [{"id": 11, "node_1": 1, "node_2": 2, "node_3": 1, "status_1": 1,
    "status_2": 1, "status_3": 0, "u1": 1, "u2": 2, "u3": 3, "sn_1": 4, "sn_2": 5, "sn_3": 6,
    "uk_12": 7, "uk_13": 8, "uk_23": 9, "pk_12": 10, "pk_13": 11, "pk_23": 12, "i0": 13, "p0": 14,
    "clock_12": 5, "clock_13": -7, "tap_side": 2, "tap_pos": 1, "tap_min": -5, "tap_max": 5,
    "tap_nom": 2, "tap_size": 15}],
  "voltage_regulator": [{"id": 12, "regulated_object": 7, "status": 1, "u_ref": 1.02, "q_min": -5e5,
    "q_max": 5e5}],
  "extra": {"a": [null, true, false, "s\\\"\u00e9"], "b": -0.0e-0}
}}
)";
