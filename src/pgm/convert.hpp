#pragma once
// Conversion of parsed PGM records into the engine's network: buses, lines, transformers and
// shunts in per-unit, bus-numbered by sorted node id. Node references are checked by the lookups
// that use them, so a file is refused exactly when the conversion cannot resolve what it needs.

#include <string>
#include <variant>
#include <vector>

#include "common/types.hpp"
#include "network/network.hpp"
#include "pgm/records.hpp"

namespace quillmere::pgm {

// The engine's network, buses numbered by ascending node id.
struct ConvertedNetwork {
    std::vector<Bus> buses;  // node buses, then star buses, then virtual slack buses
    std::vector<Line> lines;
    std::vector<Transformer> transformers;
    std::vector<ShuntAdm> shunts;  // one per shunt record in service
};

// Converts the whole network in per-unit of s_base, or returns the first reference problem as a
// message ready to show. A repeated node id comes first, the smallest ("node id 5 appears twice",
// "node id 5 appears 3 times"); then the first node reference the conversion needs that names no
// node, in the order shunts, voltage regulators, lines, transformers, three-winding transformers,
// sources ("line 7: from_node 42 is not a node id"). References the conversion does not need
// (loads, generators not under an active regulator, records out of service, dropped lines) never
// fail.
std::variant<ConvertedNetwork, std::string> convert_pgm(const PgmData& data, double s_base,
                                                        double freq_hz);

}  // namespace quillmere::pgm
