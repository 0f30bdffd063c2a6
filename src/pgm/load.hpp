#pragma once
// Loading a PGM JSON file into the template bus list and the finished Y-bus.

#include <string>
#include <variant>
#include <vector>

#include "common/interruption.hpp"
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
        // "reading {path}: interrupted": the caller's Interruption answered true; in Python the
        // exception its signal handler raised stands
        Interrupted,
    };
    Kind kind;
    std::string message;  // the full text, ready to raise
};

// Reads, parses and converts the file, then assembles the Y-bus. Powers are per-unit of s_base_va.
// The path may name a pipe or a device: reading waits for its writer. `interrupted` is asked each
// time an open or a read is interrupted by a signal and after every chunk read, so that a reader
// stalled on a pipe or fed without end by a device can be ended; when it answers true the load
// ends with Interrupted, having closed what it opened.
std::variant<LoadedNetwork, LoadError> load_network(const std::string& path, double s_base_va,
                                                    double freq_hz, Interruption interrupted = {});

}  // namespace quillmere::pgm
