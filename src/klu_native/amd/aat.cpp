#include "klu_native/amd/aat.hpp"

#include "klu_native/pattern_check.hpp"

namespace quillmere::klu_native::amd {

AdjacencyLists build_symmetric_lists(std::size_t n, std::span<const std::size_t> ap,
                                     std::span<const std::size_t> ai) {
    check_pattern(n, n, ap, ai);
    AdjacencyLists lists(n);
    auto link = [&](std::size_t a, std::size_t b) {
        lists[a].push_back(b);
        lists[b].push_back(a);
    };
    // t[j]: first entry of column j's strictly lower part not yet paired with its twin.
    std::vector<std::size_t> t(ap.begin(), ap.begin() + static_cast<std::ptrdiff_t>(n));
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t p = ap[k];
        const std::size_t p2 = ap[k + 1];
        while (p < p2) {
            const std::size_t j = ai[p];
            if (j < k) {
                // A(j,k) above the diagonal; catch up column j's lower entries before row k so
                // that its transposed twin A(k,j) is not counted twice.
                link(j, k);
                ++p;
                std::size_t pj = t[j];
                const std::size_t pj2 = ap[j + 1];
                while (pj < pj2) {
                    const std::size_t i = ai[pj];
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
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t pj = t[j]; pj < ap[j + 1]; ++pj) link(ai[pj], j);
    }
    return lists;
}

}  // namespace quillmere::klu_native::amd
