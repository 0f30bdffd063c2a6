#include "linalg/klu_native/btf/maxtrans.hpp"

#include "linalg/klu_native/pattern_check.hpp"

namespace quillmere::klu_native::btf {
namespace {

// The state of the augmenting-path searches, one per column k, each over columns and rows.
struct Search {
    std::span<const std::uint32_t> ap;
    std::span<const std::uint32_t> ai;
    // Per row, its column or -1 while free. A matched row stays matched (only its column may
    // change), which is what lets the cheap pass skip rows for good.
    std::vector<std::int32_t>& match;
    // Per column, its next entry the cheap pass has not tried; only moves forward, over all
    // searches, so the cheap passes cost nnz in all.
    std::vector<std::uint32_t> cheap;
    // Per column, the search (its column k) that last visited it, -1 before any: flag[j] == k
    // means visited in this search, with no clearing between searches.
    std::vector<std::int32_t> flag;
    // The path, by depth h = 0 .. head: jstack[h] its column (jstack[0] = k); istack[h] the row by
    // which it leaves that column, matched to jstack[h+1] below the top, free at the top once
    // found; pstack[h] the next entry of column jstack[h] the depth-first part tries.
    std::vector<std::uint32_t> jstack;
    std::vector<std::uint32_t> istack;
    std::vector<std::uint32_t> pstack;

    Search(std::size_t ncol, std::span<const std::uint32_t> p, std::span<const std::uint32_t> i,
           std::vector<std::int32_t>& m)
        : ap(p),
          ai(i),
          match(m),
          cheap(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(ncol)),
          flag(ncol, -1),
          jstack(ncol),
          istack(ncol),
          pstack(ncol) {}

    // Looks for an augmenting path from column k and flips it into the matching when found.
    bool augment(std::uint32_t k) {
        const auto mark = static_cast<std::int32_t>(k);
        bool found = false;
        std::size_t head = 0;
        jstack[0] = k;
        while (true) {
            const std::uint32_t j = jstack[head];
            const std::uint32_t pend = ap[j + 1];
            if (flag[j] != mark) {
                flag[j] = mark;
                // Cheap assignment: the pointer only moves forward, over all searches.
                std::uint32_t p = cheap[j];
                std::uint32_t row = 0;
                while (p < pend && !found) {
                    row = ai[p++];
                    found = match[row] == -1;
                }
                cheap[j] = p;
                if (found) {
                    istack[head] = row;
                    break;
                }
                pstack[head] = ap[j];
            }
            // Every row of j is matched here (the cheap pass found none free, and a matched row
            // stays so): step to the column of the first whose column this search has not seen.
            std::uint32_t p = pstack[head];
            for (; p < pend; ++p) {
                const std::uint32_t row = ai[p];
                const auto j2 = static_cast<std::uint32_t>(match[row]);
                if (flag[j2] != mark) {
                    pstack[head] = p + 1;
                    istack[head] = row;
                    jstack[++head] = j2;
                    break;
                }
            }
            if (p == pend) {
                if (head == 0) return false;
                --head;
            }
        }
        // Flip the path: each of its rows is matched to the column it was reached from, which
        // frees no row and matches one more column, k.
        for (std::size_t h = head + 1; h-- > 0;) {
            match[istack[h]] = static_cast<std::int32_t>(jstack[h]);
        }
        return true;
    }
};

}  // namespace

Matching maxtrans(std::size_t nrow, std::size_t ncol, std::span<const std::uint32_t> ap,
                  std::span<const std::uint32_t> ai) {
    check_pattern(nrow, ncol, ap, ai);
    Matching out{std::vector<std::int32_t>(nrow, -1), 0};
    Search search(ncol, ap, ai, out.match);
    for (std::size_t k = 0; k < ncol; ++k) {
        if (search.augment(static_cast<std::uint32_t>(k))) ++out.nmatch;
    }
    return out;
}

}  // namespace quillmere::klu_native::btf
