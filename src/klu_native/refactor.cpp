#include "klu_native/refactor.hpp"

#include "klu_native/marked_index.hpp"
#include "stop.hpp"

namespace quillmere::klu_native {

bool refactor_block_in_place(std::size_t nk, BlockFactor& f, std::span<double> x,
                             std::span<const std::vector<GatheredEntry>> cols,
                             std::span<std::vector<FactorEntry>> sink) {
    check_len(x.size(), nk, "work column");
    check_len(cols.size(), nk, "gathered columns");
    check_len(sink.size(), nk, "off-diagonal sink");
    check_len(f.udiag.size(), nk, "block pivots");
    for (std::size_t k = 0; k < nk; ++k) {
        for (const GatheredEntry& e : cols[k]) {
            if (e.row >= 0) {
                x[static_cast<std::size_t>(e.row)] = e.value;
            } else {
                sink[k].push_back({static_cast<std::size_t>(unflip(e.row)), e.value});
            }
        }
        for (FactorEntry& ue : f.u[k]) {
            const double v = x[ue.row];
            x[ue.row] = 0.0;
            ue.value = v;
            for (const FactorEntry& le : f.l[ue.row]) x[le.row] = x[le.row] - v * le.value;
        }
        const double pivot = x[k];
        x[k] = 0.0;
        if (pivot == 0.0) {
            for (const FactorEntry& le : f.l[k]) x[le.row] = 0.0;
            return false;
        }
        f.udiag[k] = pivot;
        for (FactorEntry& le : f.l[k]) {
            le.value = x[le.row] / pivot;
            x[le.row] = 0.0;
        }
    }
    return true;
}

}  // namespace quillmere::klu_native
