#pragma once
// The bus record shared by every stage: written by the PGM conversion, solved by the engine,
// read by the Python layer.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace quillmere {

using Complex = std::complex<double>;

// Values of Bus::bus_type.
enum class BusType : std::uint8_t { Slack = 0, PV = 1, PQ = 2 };

// Values of ZipTerm::kind: the term contributes s, s*vm or s*vm^2 at magnitude vm.
enum class ZipKind : std::uint8_t { ConstantPower = 0, ConstantCurrent = 1, ConstantImpedance = 2 };

// One voltage-dependent injection of a bus (per-unit, generation positive).
struct ZipTerm {
    Complex s{0.0, 0.0};
    ZipKind kind = ZipKind::ConstantPower;
};

struct Bus {
    std::vector<ZipTerm> zip;
    std::size_t index = 0;
    double vm = 1.0;
    double va = 0.0;
    double p_spec = 0.0;
    double q_spec = 0.0;
    double q_min = -std::numeric_limits<double>::infinity();
    double q_max = std::numeric_limits<double>::infinity();
    double u_rated = 0.0;
    BusType bus_type = BusType::PQ;
};

inline bool is_slack(const Bus& bus) {
    return bus.bus_type == BusType::Slack;
}
inline bool is_pq(const Bus& bus) {
    return bus.bus_type == BusType::PQ;
}

}  // namespace quillmere
