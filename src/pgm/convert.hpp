#pragma once
// Conversion of parsed PGM records into the engine's network: buses, lines, transformers and
// shunts in per-unit, bus-numbered by sorted node id.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "network.hpp"
#include "pgm/records.hpp"
#include "types.hpp"

namespace quillmere::pgm {

// Node id -> bus index. Only ever looked up by key, so hash order reaches no output.
using NodeIndexMap = std::unordered_map<std::uint64_t, std::size_t>;

struct BusesAndBranches {
    std::vector<Bus> buses;  // node buses, then star buses, then virtual slack buses
    std::vector<Line> lines;
    std::vector<Transformer> transformers;
};

// Ranks the node ids ascending; a repeated id keeps its last rank.
NodeIndexMap node_id_to_idx(std::span<const PgmNode> nodes);

// The first violation of the reference rules, as a message ready to show: a repeated node id, or a
// node reference that the conversion must resolve and cannot. References the conversion may ignore
// (loads, generators not under an active regulator, records out of service, dropped lines) are not
// checked. Absent when the data can be converted.
std::optional<std::string> find_reference_error(const PgmData& data);

// One shunt per record in service. Stops on a node that does not resolve; run
// find_reference_error first.
std::vector<ShuntAdm> pgm_shunts_1ph(std::span<const PgmNode> nodes,
                                     std::span<const PgmShunt> shunts, double s_base);

// Buses, lines and transformers of the whole network. Stops on a repeated node id or a node
// reference that does not resolve; run find_reference_error first.
BusesAndBranches pgm_to_buses_and_branches(const PgmData& data, double s_base, double freq_hz);

}  // namespace quillmere::pgm
