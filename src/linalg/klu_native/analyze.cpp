#include "linalg/klu_native/analyze.hpp"

#include <algorithm>
#include <string>

#include "common/stop.hpp"
#include "linalg/klu_native/amd/amd.hpp"
#include "linalg/klu_native/btf/btf.hpp"
#include "linalg/klu_native/marked_index.hpp"
#include "linalg/klu_native/pattern_check.hpp"

namespace quillmere::klu_native {
namespace {

// Blocks below this size keep the order of the transversal and the components.
constexpr std::size_t min_amd_block = 4;

}  // namespace

std::optional<Symbolic> analyze(const CompressedPattern& a) {
    check_compressed(a);
    const std::size_t n = a.n;
    // Every block is at most the whole pattern, so this bounds every block's ordering too.
    if (!amd::amd_fits(n, a.entries())) return std::nullopt;
    if (n == 0) return Symbolic{{}, {}, {0}};
    btf::BtfOrder bt = btf::btf_order(n, a.col_ptr, a.row_idx);
    std::vector<std::uint32_t> cols(n);
    for (std::size_t k = 0; k < n; ++k) cols[k] = static_cast<std::uint32_t>(unflip(bt.q[k]));
    std::vector<std::uint32_t> row_pos(n);
    for (std::size_t k = 0; k < n; ++k) row_pos[bt.p[k]] = static_cast<std::uint32_t>(k);

    Symbolic out{std::vector<std::uint32_t>(n), std::vector<std::uint32_t>(n), bt.r};
    std::vector<std::uint32_t> cp;
    std::vector<std::uint32_t> ci;
    std::vector<std::uint32_t> block_order;
    for (std::size_t b = 0; b + 1 < bt.r.size(); ++b) {
        const std::uint32_t k1 = bt.r[b];
        const std::size_t nk = bt.r[b + 1] - k1;
        if (nk >= min_amd_block) {
            // The block alone; entries of earlier blocks' rows stay outside it.
            cp.assign(1, 0);
            ci.clear();
            for (std::size_t c = 0; c < nk; ++c) {
                const std::uint32_t col = cols[k1 + c];
                const std::size_t start = ci.size();
                for (std::uint32_t p = a.col_ptr[col]; p < a.col_ptr[col + 1]; ++p) {
                    const std::uint32_t pos = row_pos[a.row_idx[p]];
                    if (pos >= k1) ci.push_back(pos - k1);
                }
                std::sort(ci.begin() + static_cast<std::ptrdiff_t>(start), ci.end());
                cp.push_back(static_cast<std::uint32_t>(ci.size()));
            }
            std::optional<std::vector<std::uint32_t>> o = amd::amd_order(nk, cp, ci);
            if (!o) stop("block C is always valid by construction");
            block_order = std::move(*o);
        } else {
            block_order.resize(nk);
            for (std::size_t c = 0; c < nk; ++c) block_order[c] = static_cast<std::uint32_t>(c);
        }
        for (std::size_t c = 0; c < nk; ++c) {
            out.p[k1 + c] = bt.p[k1 + block_order[c]];
            out.q[k1 + c] = cols[k1 + block_order[c]];
        }
    }
    return out;
}

Symbolic analyze(std::size_t n, std::span<const std::size_t> ap, std::span<const std::size_t> ai) {
    check_len(ap.size(), n + 1, "column pointers");
    check_len(ai.size(), ap[n], "row indices");
    if (n > kMaxCompressedIndex || ap[n] > kMaxCompressedIndex) {
        stop("a pattern of " + std::to_string(n) + " columns and " + std::to_string(ap[n]) +
             " entries exceeds 32-bit indices");
    }
    CompressedPattern a;
    a.n = static_cast<std::uint32_t>(n);
    a.col_ptr.resize(n + 1);
    for (std::size_t j = 0; j <= n; ++j) {
        if (ap[j] > ap[n]) stop("column pointer " + std::to_string(j) + " lies past the last");
        a.col_ptr[j] = static_cast<std::uint32_t>(ap[j]);
    }
    a.row_idx.resize(ap[n]);
    for (std::size_t p = 0; p < ap[n]; ++p) {
        check_index(ai[p], n);
        a.row_idx[p] = static_cast<std::uint32_t>(ai[p]);
    }
    std::optional<Symbolic> s = analyze(a);
    if (!s) stop("a pattern of " + std::to_string(ap[n]) + " entries is too large to analyse");
    return std::move(*s);
}

}  // namespace quillmere::klu_native
