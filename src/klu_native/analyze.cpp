#include "klu_native/analyze.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "klu_native/amd/amd.hpp"
#include "klu_native/btf/btf.hpp"
#include "klu_native/marked_index.hpp"
#include "stop.hpp"

namespace quillmere::klu_native {
namespace {

// Blocks below this size keep the order of the transversal and the components.
constexpr std::size_t min_amd_block = 4;

}  // namespace

Symbolic analyze(std::size_t n, std::span<const std::size_t> ap, std::span<const std::size_t> ai) {
    if (n == 0) return Symbolic{{}, {}, {0}};
    btf::BtfOrder bt = btf::btf_order(n, ap, ai);
    std::vector<std::size_t> cols(n);
    for (std::size_t k = 0; k < n; ++k) cols[k] = static_cast<std::size_t>(unflip(bt.q[k]));
    std::vector<std::size_t> row_pos(n);
    for (std::size_t k = 0; k < n; ++k) row_pos[bt.p[k]] = k;

    Symbolic out{std::vector<std::size_t>(n), std::vector<std::size_t>(n), bt.r};
    std::vector<std::size_t> cp;
    std::vector<std::size_t> ci;
    for (std::size_t b = 0; b + 1 < bt.r.size(); ++b) {
        const std::size_t k1 = bt.r[b];
        const std::size_t nk = bt.r[b + 1] - k1;
        std::vector<std::size_t> block_order;
        if (nk >= min_amd_block) {
            // The block alone; entries of earlier blocks' rows stay outside it.
            cp.assign(1, 0);
            ci.clear();
            for (std::size_t c = 0; c < nk; ++c) {
                const std::size_t col = cols[k1 + c];
                const std::size_t start = ci.size();
                for (std::size_t p = ap[col]; p < ap[col + 1]; ++p) {
                    const std::size_t pos = row_pos[ai[p]];
                    if (pos >= k1) ci.push_back(pos - k1);
                }
                std::sort(ci.begin() + static_cast<std::ptrdiff_t>(start), ci.end());
                cp.push_back(ci.size());
            }
            std::optional<std::vector<std::size_t>> o = amd::amd_order(nk, cp, ci);
            if (!o) stop("block C is always valid by construction");
            block_order = std::move(*o);
        } else {
            block_order.resize(nk);
            for (std::size_t c = 0; c < nk; ++c) block_order[c] = c;
        }
        for (std::size_t c = 0; c < nk; ++c) {
            out.p[k1 + c] = bt.p[k1 + block_order[c]];
            out.q[k1 + c] = cols[k1 + block_order[c]];
        }
    }
    return out;
}

}  // namespace quillmere::klu_native
