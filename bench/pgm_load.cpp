// Loading the data networks: the time of each stage (parse, conversion with its reference checks,
// Y-bus) and of the whole load_network call, best of several runs.
// The networks are looked up under $QM_DATA_DIR/networks, else ../shared/data/networks.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <variant>

#include "data_networks.hpp"
#include "pgm/convert.hpp"
#include "pgm/load.hpp"
#include "pgm/reader.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Stages {
    double parse = 1e300, convert = 1e300, ybus = 1e300, total = 1e300;
};

void bench_file(const std::filesystem::path& path, int runs) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Stages best;
    std::size_t n_buses = 0;
    for (int run = 0; run < runs; ++run) {
        auto t = Clock::now();
        auto parsed = quillmere::pgm::parse_pgm_json(text);
        best.parse = std::min(best.parse, ms_since(t));
        if (auto* message = std::get_if<std::string>(&parsed)) {
            std::printf("%-24s not loaded: %s\n", path.filename().c_str(), message->c_str());
            return;
        }
        const auto& data = std::get<quillmere::pgm::PgmInput>(parsed).data;

        t = Clock::now();
        auto converted = quillmere::pgm::convert_pgm(data, 1e6, 50.0);
        best.convert = std::min(best.convert, ms_since(t));
        if (auto* problem = std::get_if<std::string>(&converted)) {
            std::printf("%-24s not converted: %s\n", path.filename().c_str(), problem->c_str());
            return;
        }
        const auto& net = std::get<quillmere::pgm::ConvertedNetwork>(converted);

        t = Clock::now();
        auto ybus = quillmere::network::build_ybus(net.buses.size(), net.lines, net.transformers);
        quillmere::network::stamp_shunts(ybus, net.shunts);
        const auto finished = std::move(ybus).finish();
        best.ybus = std::min(best.ybus, ms_since(t));
        n_buses = finished.n;

        t = Clock::now();
        const auto loaded = quillmere::pgm::load_network(path.string(), 1e6, 50.0);
        best.total = std::min(best.total, ms_since(t));
    }
    std::printf("%-24s %7zu buses  parse %7.2f  convert %6.2f  ybus %6.2f  load_network %7.2f ms\n",
                path.filename().c_str(), n_buses, best.parse, best.convert, best.ybus, best.total);
}

}  // namespace

int main() {
    const std::filesystem::path dir = quillmere::bench::networks_dir();
    const char* files[] = {"case1354pegase.json", "case9241pegase.json", "case_ACTIVSg10k.json",
                           "dist_12k.json", "dist_60k.json"};
    std::printf("best of 5 runs, s_base 1 MVA, 50 Hz\n");
    for (const char* file : files) {
        const std::filesystem::path path = dir / file;
        if (!std::filesystem::exists(path)) {
            std::printf("%-24s absent under %s\n", file, dir.c_str());
            continue;
        }
        bench_file(path, 5);
    }
}
