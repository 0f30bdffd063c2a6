#include "klu_native/amd/postorder.hpp"

#include "stop.hpp"

namespace quillmere::klu_native::amd {

std::vector<std::size_t> postorder(std::size_t n, std::span<const std::int64_t> parent,
                                   std::span<const std::int64_t> nv,
                                   std::span<const std::int64_t> fsize) {
    check_len(parent.size(), n, "parent");
    check_len(nv.size(), n, "nv");
    check_len(fsize.size(), n, "fsize");
    constexpr std::int64_t none = -1;
    std::vector<std::int64_t> child(n, none);
    std::vector<std::int64_t> sibling(n, none);
    for (std::size_t j = n; j-- > 0;) {
        if (nv[j] > 0 && parent[j] != none) {
            const std::int64_t par = parent[j];
            if (par < 0) stop("postorder: parent index " + std::to_string(par) + " is negative");
            check_index(static_cast<std::size_t>(par), n);
            sibling[j] = child[par];
            child[par] = static_cast<std::int64_t>(j);
        }
    }
    // Move the child with the largest key to the end of its list: its subtree is visited last.
    for (std::size_t i = 0; i < n; ++i) {
        if (nv[i] <= 0 || child[i] == none) continue;
        std::int64_t fprev = none;
        std::int64_t maxfrsize = none;
        std::int64_t bigfprev = none;
        std::int64_t bigf = none;
        for (std::int64_t f = child[i]; f != none; f = sibling[f]) {
            if (fsize[f] >= maxfrsize) {
                maxfrsize = fsize[f];
                bigfprev = fprev;
                bigf = f;
            }
            fprev = f;
        }
        if (bigf == none)
            stop("postorder: every child key of node " + std::to_string(i) + " is below -1");
        const std::int64_t fnext = sibling[bigf];
        if (fnext != none) {
            if (bigfprev == none) {
                child[i] = fnext;
            } else {
                sibling[bigfprev] = fnext;
            }
            sibling[bigf] = none;
            sibling[fprev] = bigf;
        }
    }
    std::vector<std::size_t> order(n, not_in_tree);
    std::vector<std::int64_t> stack(n);
    std::size_t k = 0;
    for (std::size_t root = 0; root < n; ++root) {
        if (parent[root] != none || nv[root] <= 0) continue;
        std::size_t top = 0;
        stack[0] = static_cast<std::int64_t>(root);
        while (true) {
            const std::int64_t i = stack[top];
            if (child[i] != none) {
                // Push the children so that the first one ends on top.
                std::size_t count = 0;
                for (std::int64_t f = child[i]; f != none; f = sibling[f]) ++count;
                check_index(top + count, n);
                std::size_t h = top + count;
                for (std::int64_t f = child[i]; f != none; f = sibling[f]) stack[h--] = f;
                top += count;
                child[i] = none;
            } else {
                order[i] = k++;
                if (top == 0) break;
                --top;
            }
        }
    }
    return order;
}

}  // namespace quillmere::klu_native::amd
