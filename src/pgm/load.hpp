#pragma once
// Loading a PGM JSON file into the template bus list and the finished Y-bus.

#include <string>
#include <variant>
#include <vector>

#include "common/types.hpp"
#include "network/network.hpp"

namespace quillmere::pgm {

struct LoadedNetwork {
    std::vector<Bus> buses;  // the template bus list, in bus order
    YBusSparse ybus;
};

struct LoadError {
    enum class Kind {
        Read,       // "reading {path}: {os description}"; RuntimeError in Python
        Parse,      // "parsing {path} as PGM JSON: {message}"; ValueError in Python
        Reference,  // a repeated node id or a node reference that does not resolve; ValueError
    };
    Kind kind;
    std::string message;  // the full text, ready to raise
};

// Reads, parses and converts the file, then assembles the Y-bus. Powers are per-unit of s_base_va.
std::variant<LoadedNetwork, LoadError> load_network(const std::string& path, double s_base_va,
                                                    double freq_hz);

}  // namespace quillmere::pgm
