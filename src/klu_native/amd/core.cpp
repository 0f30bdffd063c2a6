#include "klu_native/amd/core.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "klu_native/amd/postorder.hpp"
#include "stop.hpp"

namespace quillmere::klu_native::amd {
namespace {

using Index = std::int64_t;
constexpr Index none = -1;

void check_lists(std::size_t n, const AdjacencyLists& lists) {
    check_len(lists.size(), n, "adjacency lists");
    std::vector<std::size_t> seen(n, n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j : lists[i]) {
            check_index(j, n);
            if (j == i || seen[j] == i) {
                stop("adjacency list " + std::to_string(i) + " repeats node " + std::to_string(j));
            }
            seen[j] = i;
        }
    }
}

void release(std::vector<std::size_t>& list) {
    std::vector<std::size_t>().swap(list);
}

// Nodes whose dense degree exceeds this are left out of the elimination and placed last.
Index dense_threshold(std::size_t n) {
    const double dn = static_cast<double>(n);
    return static_cast<Index>(std::trunc(std::min(dn, std::max(16.0, 10.0 * std::sqrt(dn)))));
}

struct Elimination {
    Index n;
    AdjacencyLists lists;
    std::vector<Index> nv, elen, degree, parent, w, head, next, last;
    Index wflg = 2;
    Index wbig;
    Index mindeg = 0;
    Index nel = 0;
    Index lemax = 0;
    std::vector<std::size_t> lme;

    Elimination(std::size_t size, AdjacencyLists l)
        : n(static_cast<Index>(size)),
          lists(std::move(l)),
          nv(size, 1),
          elen(size, 0),
          degree(size, 0),
          parent(size, none),
          w(size, 1),
          head(size, none),
          next(size, none),
          last(size, none),
          wbig(std::numeric_limits<Index>::max() - static_cast<Index>(size)) {}

    void insert_degree(Index i, Index deg) {
        const Index inext = head[deg];
        if (inext != none) last[inext] = i;
        next[i] = inext;
        last[i] = none;
        head[deg] = i;
    }

    void unlink_degree(Index i) {
        const Index ilast = last[i];
        const Index inext = next[i];
        if (inext != none) last[inext] = ilast;
        if (ilast != none) {
            next[ilast] = inext;
        } else {
            head[degree[i]] = inext;
        }
    }

    void clear_flags() {
        if (wflg < 2 || wflg >= wbig) {
            for (Index& x : w) {
                if (x != 0) x = 1;
            }
            wflg = 2;
        }
    }

    void initialise() {
        const Index dense = dense_threshold(static_cast<std::size_t>(n));
        for (Index i = 0; i < n; ++i) degree[i] = static_cast<Index>(lists[i].size());
        for (Index i = 0; i < n; ++i) {
            const Index deg = degree[i];
            if (deg == 0) {
                elen[i] = -3;
                parent[i] = none;
                w[i] = 0;
                ++nel;
            } else if (deg > dense) {
                nv[i] = 0;
                elen[i] = -1;
                parent[i] = none;
                ++nel;
            } else {
                insert_degree(i, deg);
            }
        }
    }

    void step() {
        // Pivot: the head of the lowest non-empty degree list.
        Index deg = mindeg;
        while (deg < n && head[deg] == none) ++deg;
        if (deg >= n) stop("amd: no pivot left while nodes remain");
        const Index me = head[deg];
        mindeg = deg;
        const Index inext = next[me];
        if (inext != none) last[inext] = none;
        head[deg] = inext;
        const Index elenme = elen[me];
        Index nvpiv = nv[me];
        nv[me] = -nvpiv;
        std::vector<std::size_t> old = std::move(lists[me]);
        lists[me].clear();

        // The new element: the union of the absorbed elements' patterns and me's own variables.
        Index degme = 0;
        lme.clear();
        auto take = [&](std::size_t iu) {
            const Index i = static_cast<Index>(iu);
            const Index nvi = nv[i];
            if (nvi > 0) {
                degme += nvi;
                nv[i] = -nvi;
                lme.push_back(iu);
                unlink_degree(i);
            }
        };
        for (Index k = 0; k < elenme; ++k) {
            const Index e = static_cast<Index>(old[k]);
            for (std::size_t i : lists[e]) take(i);
            release(lists[e]);
            parent[e] = me;
            w[e] = 0;
        }
        for (std::size_t k = static_cast<std::size_t>(elenme); k < old.size(); ++k) take(old[k]);
        release(old);
        degree[me] = degme;
        parent[me] = none;

        clear_flags();
        nel += nvpiv;

        // Scan 1: afterwards w[e] - wflg = |Le \ Lme| for every element e next to Lme.
        for (std::size_t iu : lme) {
            const Index el = elen[iu];
            if (el <= 0) continue;
            const Index wnvi = wflg + nv[iu];
            const std::vector<std::size_t>& li = lists[iu];
            for (Index k = 0; k < el; ++k) {
                const std::size_t e = li[k];
                Index we = w[e];
                if (we >= wflg) {
                    we += nv[iu];
                } else if (we != 0) {
                    we = degree[e] + wnvi;
                }
                w[e] = we;
            }
        }

        // Scan 2: degree update, list pruning, mass elimination and hashing.
        for (std::size_t iu : lme) {
            const Index i = static_cast<Index>(iu);
            std::vector<std::size_t>& li = lists[iu];
            const Index el = elen[i];
            std::size_t pn = 0;
            Index d = 0;
            std::uint64_t hash = 0;
            for (Index k = 0; k < el; ++k) {
                const std::size_t e = li[k];
                if (w[e] == 0) continue;
                const Index dext = w[e] - wflg;
                if (dext > 0) {
                    d += dext;
                    li[pn++] = e;
                    hash += e;
                } else {
                    // Aggressive absorption: Le lies inside Lme.
                    parent[e] = me;
                    w[e] = 0;
                }
            }
            elen[i] = static_cast<Index>(pn) + 1;
            const std::size_t p3 = pn;
            for (std::size_t k = static_cast<std::size_t>(el); k < li.size(); ++k) {
                const std::size_t j = li[k];
                const Index nvj = nv[j];
                if (nvj > 0) {
                    d += nvj;
                    li[pn++] = j;
                    hash += j;
                }
            }
            if (elen[i] == 1 && p3 == pn) {
                // Mass elimination: i is adjacent to me only.
                parent[i] = me;
                const Index s = -nv[i];
                degme -= s;
                nvpiv += s;
                nel += s;
                nv[i] = 0;
                elen[i] = none;
                release(li);
                continue;
            }
            degree[i] = std::min(degree[i], d);
            // New list: me, elements 2..k, element 1, variables 2..m, variable 1.
            li.resize(pn + 1);
            li[pn] = li[p3];
            li[p3] = li[0];
            li[0] = static_cast<std::size_t>(me);
            const Index h = static_cast<Index>(hash % static_cast<std::uint64_t>(n));
            const Index j = head[h];
            if (j < 0) {
                next[i] = -2 - j;
                head[h] = -2 - i;
            } else {
                next[i] = last[j];
                last[j] = i;
            }
            last[i] = h;
        }

        degree[me] = degme;
        lemax = std::max(lemax, degme);
        wflg += lemax;
        clear_flags();

        detect_supervariables();

        // Degrees back into the lists; the survivors form me's pattern.
        const Index nleft = n - nel;
        std::size_t kept = 0;
        for (std::size_t iu : lme) {
            const Index i = static_cast<Index>(iu);
            if (nv[i] >= 0) continue;
            const Index s = -nv[i];
            nv[i] = s;
            const Index d = std::min(degree[i] + degme - s, nleft - s);
            if (d < 0) stop("amd: negative degree");
            insert_degree(i, d);
            mindeg = std::min(mindeg, d);
            degree[i] = d;
            lme[kept++] = iu;
        }
        lme.resize(kept);
        nv[me] = nvpiv;
        lists[me].assign(lme.begin(), lme.end());
        if (lists[me].empty()) {
            parent[me] = none;
            w[me] = 0;
        }
    }

    void detect_supervariables() {
        for (std::size_t iu : lme) {
            if (nv[iu] >= 0) continue;
            const Index h = last[iu];
            const Index j = head[h];
            Index a;
            if (j == none) {
                continue;
            } else if (j < none) {
                a = -2 - j;
                head[h] = none;
            } else {
                a = last[j];
                last[j] = none;
            }
            while (a != none && next[a] != none) {
                const std::vector<std::size_t>& la = lists[a];
                const std::size_t ln = la.size();
                const Index eln = elen[a];
                for (std::size_t k = 1; k < ln; ++k) w[la[k]] = wflg;
                Index jlast = a;
                Index b = next[a];
                while (b != none) {
                    std::vector<std::size_t>& lb = lists[b];
                    bool same = lb.size() == ln && elen[b] == eln;
                    for (std::size_t k = 1; same && k < ln; ++k) same = w[lb[k]] == wflg;
                    if (same) {
                        parent[b] = a;
                        nv[a] += nv[b];
                        nv[b] = 0;
                        elen[b] = none;
                        release(lb);
                        b = next[b];
                        next[jlast] = b;
                    } else {
                        jlast = b;
                        b = next[b];
                    }
                }
                ++wflg;
                a = next[a];
            }
        }
    }

    AmdPermutation permutation() {
        const std::size_t size = static_cast<std::size_t>(n);
        // Point every absorbed or mass-eliminated variable straight at its element.
        for (Index i = 0; i < n; ++i) {
            if (nv[i] != 0 || parent[i] == none) continue;
            Index e = parent[i];
            while (nv[e] == 0) e = parent[e];
            Index j = i;
            while (nv[j] == 0) {
                const Index jnext = parent[j];
                parent[j] = e;
                j = jnext;
            }
        }
        const std::vector<std::size_t> order = postorder(size, parent, nv, elen);
        std::vector<Index> by_order(size, none);
        for (std::size_t e = 0; e < size; ++e) {
            if (order[e] != not_in_tree) by_order[order[e]] = static_cast<Index>(e);
        }
        std::vector<std::size_t> pos(size, 0);
        std::size_t k = 0;
        for (std::size_t t = 0; t < size && by_order[t] != none; ++t) {
            const Index e = by_order[t];
            pos[e] = k;
            k += static_cast<std::size_t>(nv[e]);
        }
        for (std::size_t i = 0; i < size; ++i) {
            if (nv[i] != 0) continue;
            const Index e = parent[i];
            if (e != none) {
                pos[i] = pos[e]++;
            } else {
                pos[i] = k++;
            }
        }
        AmdPermutation out{std::vector<std::size_t>(size, size), std::move(pos)};
        for (std::size_t i = 0; i < size; ++i) {
            const std::size_t p = out.inverse[i];
            check_index(p, size);
            if (out.amd_perm[p] != size) {
                stop("amd: two nodes share position " + std::to_string(p));
            }
            out.amd_perm[p] = i;
        }
        return out;
    }
};

}  // namespace

AmdPermutation amd_2(std::size_t n, AdjacencyLists lists) {
    if (n == 0) return {};
    check_lists(n, lists);
    Elimination el(n, std::move(lists));
    el.initialise();
    while (el.nel < el.n) el.step();
    return el.permutation();
}

}  // namespace quillmere::klu_native::amd
