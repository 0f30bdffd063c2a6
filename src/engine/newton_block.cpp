#include "engine/newton_block.hpp"

#include <cstddef>
#include <limits>
#include <string>
#include <utility>

#include "common/stop.hpp"
#include "engine/newton.hpp"

namespace quillmere {
namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t kNoRow = BlockAnalysis::kNoRow;

}  // namespace

BlockAnalysis BlockAnalysis::analyze(std::span<const Bus> buses, const YBusSparse& ybus) {
    const std::vector<Coupling> listed = list_couplings(buses, ybus);
    std::vector<std::uint32_t> block(buses.size(), kNone);
    std::vector<std::uint32_t> reactive_row;
    std::uint32_t n = 0;
    std::uint32_t npq = 0;
    for (std::size_t i = 0; i < buses.size(); ++i) {
        if (is_slack(buses[i])) continue;
        block[i] = n++;
        reactive_row.push_back(is_pq(buses[i]) ? npq++ : kNoRow);
    }
    // The reactive rows follow the active ones, in the same bus order.
    for (std::uint32_t& row : reactive_row) row = row == kNoRow ? kNoRow : n + row;
    std::vector<std::size_t> rows(listed.size());
    std::vector<std::size_t> cols(listed.size());
    for (std::size_t t = 0; t < listed.size(); ++t) {
        rows[t] = block[listed[t].i];
        cols[t] = block[listed[t].j];
    }
    BlockAnalysis analysis{{},
                           {},
                           BlockLu::analyze(n, rows, cols),
                           std::move(reactive_row),
                           std::vector<BlockVector>(n),
                           std::vector<AngleTrig>(listed.size())};

    // A stable counting sort of the couplings by slot.
    const std::span<const std::uint32_t> slots = analysis.lu.slots();
    std::vector<std::uint32_t> start(analysis.lu.values().size() + 1, 0);
    for (const std::uint32_t s : slots) ++start[s + 1];
    for (std::size_t s = 0; s + 1 < start.size(); ++s) start[s + 1] += start[s];
    analysis.couplings.resize(listed.size());
    analysis.slot.resize(listed.size());
    for (std::size_t t = 0; t < listed.size(); ++t) {
        const std::uint32_t to = start[slots[t]]++;
        analysis.couplings[to] = listed[t];
        analysis.slot[to] = slots[t];
    }
    link_reverses(analysis.couplings);
    return analysis;
}

void BlockAnalysis::assemble(std::span<const network::BusPower> at) {
    check_len(slot.size(), couplings.size(), "the block slot list");
    const std::span<Block> values = lu.values();
    // Adding to -0.0 changes nothing, so a block given once is stored as it is; the sum of the
    // summation rule is needed only where positions repeat.
    const bool repeats = values.size() != couplings.size();
    if (repeats) lu.clear_values();
    // A PV bus's reactive row becomes "magnitude change = 0": zero, with 1 on its own diagonal.
    for_each_derivatives(couplings, at, trig, [&](std::size_t t, const Derivatives& d) {
        const Coupling& c = couplings[t];
        const double own = c.i == c.j ? 1.0 : 0.0;
        const Block block = c.pq ? Block{d[0], d[1], d[2], d[3]} : Block{d[0], d[1], 0.0, own};
        check_index(slot[t], values.size());
        Block& sum = values[slot[t]];
        if (!repeats) {
            sum = block;
            return;
        }
        for (std::size_t k = 0; k < 4; ++k) sum[k] += block[k];
    });
}

void BlockAnalysis::solve_step(std::span<const double> mismatch) {
    const std::size_t n = step.size();
    check_len(reactive_row.size(), n, "the reactive row list");
    check_len(mismatch.size(), n, "the mismatch");
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t row = reactive_row[k];
        if (row != kNoRow) check_index(row, mismatch.size());
        step[k] = BlockVector{mismatch[k], row == kNoRow ? 0.0 : mismatch[row]};
    }
    lu.solve(step);
}

SolveStats newton_raphson_block_cached(std::span<Bus> buses, const YBusSparse& ybus,
                                       std::uint64_t max_iter, double tol,
                                       std::optional<BlockAnalysis>& analysis, NewtonWork& work,
                                       Interruption interrupted) {
    unknown_layout(buses, work.layout);
    const UnknownLayout& layout = work.layout;
    check_len(ybus.rows.size(), buses.size(), "the Y-bus row list");
    auto step = [&](std::span<const network::BusPower> at, std::span<const double> mismatch) {
        if (!analysis) analysis.emplace(BlockAnalysis::analyze(buses, ybus));
        BlockAnalysis& a = *analysis;
        if (a.step.size() != layout.pvpq.size()) {
            stop("a block analysis of " + std::to_string(a.step.size()) + " buses used with " +
                 std::to_string(layout.pvpq.size()) + " non-slack buses");
        }
        a.assemble(at);
        if (!a.lu.refactor()) return false;
        a.solve_step(mismatch);
        for (std::size_t k = 0; k < layout.pvpq.size(); ++k) {
            Bus& bus = buses[layout.pvpq[k]];
            bus.va += a.step[k][0];
            bus.vm += a.step[k][1];
        }
        return true;
    };
    return newton_iterate(buses, ybus, max_iter, tol, interrupted, work, step);
}

}  // namespace quillmere
