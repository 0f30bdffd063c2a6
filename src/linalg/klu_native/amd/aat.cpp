#include "linalg/klu_native/amd/aat.hpp"

#include "common/stop.hpp"

namespace quillmere::klu_native::amd {
namespace {

// Calls link(a, b) once per unordered pair, pushing b onto a's list and a onto b's, in the order
// of the lists. t[j]: first entry of column j's strictly lower part not yet paired with its twin.
template <class Link>
void for_each_pair(std::size_t n, std::span<const std::uint32_t> ap,
                   std::span<const std::uint32_t> ai, std::vector<std::uint32_t>& t, Link link) {
    t.assign(ap.begin(), ap.begin() + static_cast<std::ptrdiff_t>(n));
    for (std::size_t k = 0; k < n; ++k) {
        std::uint32_t p = ap[k];
        const std::uint32_t p2 = ap[k + 1];
        while (p < p2) {
            const std::uint32_t j = ai[p];
            if (j < k) {
                // A(j,k) above the diagonal; catch up column j's lower entries before row k so
                // that its transposed twin A(k,j) is not counted twice.
                link(j, static_cast<std::uint32_t>(k));
                ++p;
                std::uint32_t pj = t[j];
                const std::uint32_t pj2 = ap[j + 1];
                while (pj < pj2) {
                    const std::uint32_t i = ai[pj];
                    if (i < k) {
                        link(i, j);
                        ++pj;
                    } else {
                        if (i == k) ++pj;
                        break;
                    }
                }
                t[j] = pj;
            } else {
                if (j == k) ++p;
                break;
            }
        }
        t[k] = p;
    }
    for (std::uint32_t j = 0; j < n; ++j) {
        for (std::uint32_t pj = t[j]; pj < ap[j + 1]; ++pj) link(ai[pj], j);
    }
}

}  // namespace

SymmetricLists build_symmetric_lists(std::size_t n, std::span<const std::uint32_t> ap,
                                     std::span<const std::uint32_t> ai) {
    check_len(ap.size(), n + 1, "column pointers");
    SymmetricLists g;
    g.len.assign(n, 0);
    std::vector<std::uint32_t> t;
    // Counted first, then filled along the same walk, so every list keeps the push order.
    for_each_pair(n, ap, ai, t, [&](std::uint32_t a, std::uint32_t b) {
        ++g.len[a];
        ++g.len[b];
    });
    g.pe.resize(n);
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        g.pe[i] = static_cast<std::int32_t>(total);
        total += static_cast<std::size_t>(g.len[i]);
    }
    g.pfree = static_cast<std::int32_t>(total);
    g.iw.resize(total + total / 5 + n);
    std::vector<std::int32_t> fill(g.pe);
    for_each_pair(n, ap, ai, t, [&](std::uint32_t a, std::uint32_t b) {
        g.iw[static_cast<std::size_t>(fill[a]++)] = static_cast<std::int32_t>(b);
        g.iw[static_cast<std::size_t>(fill[b]++)] = static_cast<std::int32_t>(a);
    });
    return g;
}

}  // namespace quillmere::klu_native::amd
