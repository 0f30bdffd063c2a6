#include "linalg/klu_native/amd/postorder.hpp"

#include <string>

#include "common/stop.hpp"

namespace quillmere::klu_native::amd {

std::vector<std::int32_t> postorder(std::size_t n, std::span<const std::int32_t> parent,
                                    std::span<const std::int32_t> nv,
                                    std::span<const std::int32_t> fsize) {
    check_len(parent.size(), n, "parent");
    check_len(nv.size(), n, "nv");
    check_len(fsize.size(), n, "fsize");
    using Index = std::int32_t;
    constexpr Index none = -1;
    auto at = [](Index i) { return static_cast<std::size_t>(i); };
    std::vector<Index> child(n, none);
    std::vector<Index> sibling(n, none);
    for (std::size_t j = n; j-- > 0;) {
        if (nv[j] > 0 && parent[j] != none) {
            const Index par = parent[j];
            if (par < 0) stop("postorder: parent index " + std::to_string(par) + " is negative");
            check_index(at(par), n);
            sibling[j] = child[at(par)];
            child[at(par)] = static_cast<Index>(j);
        }
    }
    // Move the child with the largest key to the end of its list: its subtree is visited last.
    for (std::size_t i = 0; i < n; ++i) {
        if (nv[i] <= 0 || child[i] == none) continue;
        Index fprev = none;
        Index maxfrsize = none;
        Index bigfprev = none;
        Index bigf = none;
        for (Index f = child[i]; f != none; f = sibling[at(f)]) {
            if (fsize[at(f)] >= maxfrsize) {
                maxfrsize = fsize[at(f)];
                bigfprev = fprev;
                bigf = f;
            }
            fprev = f;
        }
        if (bigf == none)
            stop("postorder: every child key of node " + std::to_string(i) + " is below -1");
        const Index fnext = sibling[at(bigf)];
        if (fnext != none) {
            if (bigfprev == none) {
                child[i] = fnext;
            } else {
                sibling[at(bigfprev)] = fnext;
            }
            sibling[at(bigf)] = none;
            sibling[at(fprev)] = bigf;
        }
    }
    std::vector<Index> order(n, none);
    std::vector<Index> stack(n);
    Index k = 0;
    for (std::size_t root = 0; root < n; ++root) {
        if (parent[root] != none || nv[root] <= 0) continue;
        std::size_t top = 0;
        stack[0] = static_cast<Index>(root);
        while (true) {
            const Index i = stack[top];
            if (child[at(i)] != none) {
                // Push the children so that the first one ends on top.
                std::size_t count = 0;
                for (Index f = child[at(i)]; f != none; f = sibling[at(f)]) ++count;
                check_index(top + count, n);
                std::size_t h = top + count;
                for (Index f = child[at(i)]; f != none; f = sibling[at(f)]) stack[h--] = f;
                top += count;
                child[at(i)] = none;
            } else {
                order[at(i)] = k++;
                if (top == 0) break;
                --top;
            }
        }
    }
    return order;
}

}  // namespace quillmere::klu_native::amd
