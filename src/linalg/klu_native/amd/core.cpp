#include "linalg/klu_native/amd/core.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "common/stop.hpp"
#include "linalg/klu_native/amd/postorder.hpp"

namespace quillmere::klu_native::amd {
namespace {

using Index = std::int32_t;
constexpr Index none = -1;

// Nodes whose dense degree exceeds this are left out of the elimination and placed last.
Index dense_threshold(std::size_t n) {
    const double dn = static_cast<double>(n);
    return static_cast<Index>(std::trunc(std::min(dn, std::max(16.0, 10.0 * std::sqrt(dn)))));
}

std::size_t at(Index i) {
    return static_cast<std::size_t>(i);
}

// The quotient graph. Every node i is, at any time, in one of these states:
//   variable    not yet eliminated: nv[i] > 0 (a principal supervariable of nv[i] nodes), its list
//               holds the elements next to it, then the variables; it sits in degree list
//               degree[i].
//   in Lme      a variable of the element being formed: nv[i] = -size, out of the degree lists,
//               its next/last lent to the hash buckets. The pivot me too has nv = -size during
//               its step, with its list released but still readable in iw.
//   element     a former pivot: nv[e] > 0 pivots, its list holds only variables (Le), w[e] > 0.
//   absorbed    an element whose pattern went into a later one: w[e] = 0, no list, parent[e] =
//               the absorbing element; still a node of the assembly tree (nv[e] > 0).
//   dead        a variable eliminated with another: nv[i] = 0, elen[i] = none, no list. parent[i]
//               is the principal variable it merged into (supervariable), the element it was
//               mass-eliminated with, or none for a dense node, which goes last.
// A node of no neighbour at all becomes at once an element of one pivot with an empty list
// (elen = -3, w = 0). An element whose list ends up empty is a root with w = 0 and no list.
struct Elimination {
    Index n;
    // Node i's list is iw[pe[i] .. pe[i] + len[i] - 1]: for a variable first elen[i] elements,
    // then variables; for an element its variables, some of which may have died since (nv = 0,
    // skipped when read). Lists only shrink in place; a new element's list goes to pfree. A
    // released list (pivot, absorbed element, dead variable) has pe = none and len 0. Entries are
    // nodes, never negative, except during compact(), where the first entry of each live list
    // holds flip(owner) and pe[owner] holds that entry.
    std::vector<Index> pe, len, iw;
    // pfree: first free entry of iw; iw[pfree ..] is room for new elements.
    Index pfree;
    // nv[i]: > 0 the size of variable i, or the pivots of element i; < 0 minus the size while i
    // is in Lme (the mark of Lme membership); 0 for a dead variable.
    // elen[i] for a variable: how many entries at the front of its list are elements; after
    // scan 2 that count includes me, always first. none (-1) for a dead variable, dense nodes
    // included; -3 for a node of no neighbour. An element keeps the count it had when picked as
    // pivot: the key by which postorder() puts the child of largest key last.
    // degree[i] for a variable: its approximate external degree (an upper bound, counting
    // variables by size), also the degree list it sits in; between scan 2 and the end of the step
    // the degree outside Lme. For an element: |Le| by size, which later merges leave unchanged.
    // parent: the assembly tree, as the states above say; none for a root, a live node or a dense
    // node.
    // Degree lists: head[d] = first variable of degree d or none; next/last the doubly linked
    // neighbours (last of a list head is none). From scan 2 until detect_supervariables has
    // run, they also hold the hash buckets of Lme's variables: bucket h hangs from last[head[h]]
    // when degree list h is non-empty, else head[h] = flip(first) = -2 - first (-1: both
    // empty); next[i] = the next variable in i's bucket, last[i] = i's hash h. The pivot search
    // runs only after every bucket has been emptied again.
    std::vector<Index> nv, elen, degree, parent, head, next, last;
    // All the variables taken into Lme during the step; once the degrees are back, only the
    // surviving principal ones, which become me's list.
    std::vector<Index> lme;  // the variables of the new element, nlme of them
    Index nlme = 0;
    // Marks, wide enough that scan 1's sums never come near their end. w[e] = 0: e is an
    // absorbed element, an empty root or a node of no neighbour, never again a live element.
    // Otherwise w[x] >= wflg means x was marked in the current pass, anything in 1 .. wflg-1 is a
    // stale mark: raising wflg clears every mark at once. Scan 1 leaves w[e] = wflg + |Le \ Lme|;
    // as a touched e shares a variable with Lme, that is at most wflg + degree[e] - 1, so adding
    // lemax (>= every element's degree) to wflg clears them. detect_supervariables marks one list
    // with wflg and clears it with ++wflg. clear_flags() resets all live marks to 1 and wflg to 2
    // should wflg ever near wbig.
    std::vector<std::int64_t> w;
    std::int64_t wflg = 2;
    std::int64_t wbig;
    // mindeg: no degree list below it holds a variable. nel: nodes eliminated so far (pivots,
    // dead variables, dense nodes). lemax: the largest |Le| of any element formed so far.
    Index mindeg = 0;
    Index nel = 0;
    Index lemax = 0;

    Elimination(std::size_t size, SymmetricLists g)
        : n(static_cast<Index>(size)),
          pe(std::move(g.pe)),
          len(std::move(g.len)),
          iw(std::move(g.iw)),
          pfree(g.pfree),
          nv(size, 1),
          elen(size, 0),
          degree(size, 0),
          parent(size, none),
          head(size, none),
          next(size, none),
          last(size, none),
          lme(size),
          w(size, 1),
          wbig(std::numeric_limits<std::int64_t>::max() - static_cast<std::int64_t>(size)) {}

    Index* list(Index i) { return iw.data() + pe[at(i)]; }

    void release(Index i) {
        pe[at(i)] = none;
        len[at(i)] = 0;
    }

    void insert_degree(Index i, Index deg) {
        const Index inext = head[at(deg)];
        if (inext != none) last[at(inext)] = i;
        next[at(i)] = inext;
        last[at(i)] = none;
        head[at(deg)] = i;
    }

    void unlink_degree(Index i) {
        const Index ilast = last[at(i)];
        const Index inext = next[at(i)];
        if (inext != none) last[at(inext)] = ilast;
        if (ilast != none) {
            next[at(ilast)] = inext;
        } else {
            head[at(degree[at(i)])] = inext;
        }
    }

    void clear_flags() {
        if (wflg < 2 || wflg >= wbig) {
            for (std::int64_t& x : w) {
                if (x != 0) x = 1;
            }
            wflg = 2;
        }
    }

    void initialise() {
        const Index dense = dense_threshold(at(n));
        for (Index i = 0; i < n; ++i) degree[at(i)] = len[at(i)];
        for (Index i = 0; i < n; ++i) {
            const Index deg = degree[at(i)];
            if (deg == 0) {
                elen[at(i)] = -3;
                parent[at(i)] = none;
                w[at(i)] = 0;
                ++nel;
            } else if (deg > dense) {
                // Never read again: its room is free for the elements.
                nv[at(i)] = 0;
                elen[at(i)] = -1;
                parent[at(i)] = none;
                release(i);
                ++nel;
            } else {
                insert_degree(i, deg);
            }
        }
    }

    // Slides the live lists to the front of iw, in place and in their order there: each live list
    // lends its first entry to pe and carries its owner's flip instead, which no list entry (a
    // node, never negative) can be mistaken for.
    void compact() {
        for (Index j = 0; j < n; ++j) {
            if (pe[at(j)] == none || len[at(j)] == 0) continue;
            const Index p = pe[at(j)];
            pe[at(j)] = iw[at(p)];
            iw[at(p)] = -2 - j;
        }
        Index dst = 0;
        for (Index src = 0; src < pfree;) {
            if (iw[at(src)] >= 0) {
                ++src;
                continue;
            }
            const Index j = -2 - iw[at(src)];
            iw[at(src)] = pe[at(j)];
            pe[at(j)] = dst;
            for (Index k = 0; k < len[at(j)]; ++k) iw[at(dst++)] = iw[at(src++)];
        }
        pfree = dst;
    }

    void step() {
        // Pivot: the head of the lowest non-empty degree list.
        Index deg = mindeg;
        while (deg < n && head[at(deg)] == none) ++deg;
        if (deg >= n) stop("amd: no pivot left while nodes remain");
        const Index me = head[at(deg)];
        mindeg = deg;
        const Index inext = next[at(me)];
        if (inext != none) last[at(inext)] = none;
        head[at(deg)] = inext;
        const Index elenme = elen[at(me)];
        Index nvpiv = nv[at(me)];
        nv[at(me)] = -nvpiv;
        // me's old list stays readable in iw until the new one is stored at the end of the step.
        const Index* old = list(me);
        const Index old_len = len[at(me)];
        release(me);

        // The new element: the union of the absorbed elements' patterns and me's own variables.
        Index degme = 0;
        nlme = 0;
        auto take = [&](Index i) {
            const Index nvi = nv[at(i)];
            if (nvi > 0) {
                degme += nvi;
                nv[at(i)] = -nvi;
                lme[at(nlme++)] = i;
                unlink_degree(i);
            }
        };
        for (Index k = 0; k < elenme; ++k) {
            const Index e = old[k];
            if (len[at(e)] > 0) {
                const Index* le = list(e);
                for (Index t = 0; t < len[at(e)]; ++t) take(le[t]);
            }
            release(e);
            parent[at(e)] = me;
            w[at(e)] = 0;
        }
        for (Index k = elenme; k < old_len; ++k) take(old[k]);
        degree[at(me)] = degme;
        parent[at(me)] = none;

        clear_flags();
        nel += nvpiv;

        // Scan 1: afterwards w[e] - wflg = |Le \ Lme| for every element e next to Lme.
        for (Index t = 0; t < nlme; ++t) {
            const Index i = lme[at(t)];
            const Index el = elen[at(i)];
            if (el <= 0) continue;
            const std::int64_t wnvi = wflg + nv[at(i)];
            const Index* li = list(i);
            for (Index k = 0; k < el; ++k) {
                const Index e = li[k];
                std::int64_t we = w[at(e)];
                if (we >= wflg) {
                    we += nv[at(i)];
                } else if (we != 0) {
                    we = degree[at(e)] + wnvi;
                }
                w[at(e)] = we;
            }
        }

        // Scan 2: degree update, list pruning, mass elimination and hashing. Every list shrinks:
        // it held me or an element absorbed into me, neither of which is kept.
        for (Index t = 0; t < nlme; ++t) {
            const Index i = lme[at(t)];
            Index* li = list(i);
            const Index el = elen[at(i)];
            Index pn = 0;
            std::int64_t d = 0;
            std::uint64_t hash = 0;
            for (Index k = 0; k < el; ++k) {
                const Index e = li[k];
                if (w[at(e)] == 0) continue;
                const std::int64_t dext = w[at(e)] - wflg;
                if (dext > 0) {
                    d += dext;
                    li[pn++] = e;
                    hash += static_cast<std::uint64_t>(e);
                } else {
                    // Aggressive absorption: Le lies inside Lme.
                    parent[at(e)] = me;
                    w[at(e)] = 0;
                }
            }
            elen[at(i)] = pn + 1;
            const Index p3 = pn;
            for (Index k = el; k < len[at(i)]; ++k) {
                const Index j = li[k];
                const Index nvj = nv[at(j)];
                if (nvj > 0) {
                    d += nvj;
                    li[pn++] = j;
                    hash += static_cast<std::uint64_t>(j);
                }
            }
            if (elen[at(i)] == 1 && p3 == pn) {
                // Mass elimination: i is adjacent to me only.
                parent[at(i)] = me;
                const Index s = -nv[at(i)];
                degme -= s;
                nvpiv += s;
                nel += s;
                nv[at(i)] = 0;
                elen[at(i)] = none;
                release(i);
                continue;
            }
            degree[at(i)] = static_cast<Index>(std::min<std::int64_t>(degree[at(i)], d));
            if (pn >= len[at(i)]) stop("amd: a list of the new element's variables grows");
            // New list: me, elements 2..k, element 1, variables 2..m, variable 1.
            len[at(i)] = pn + 1;
            li[pn] = li[p3];
            li[p3] = li[0];
            li[0] = me;
            // Into bucket h, encoded in head/next/last as their declaration says.
            const Index h = static_cast<Index>(hash % static_cast<std::uint64_t>(n));
            const Index j = head[at(h)];
            if (j < 0) {
                next[at(i)] = -2 - j;
                head[at(h)] = -2 - i;
            } else {
                next[at(i)] = last[at(j)];
                last[at(j)] = i;
            }
            last[at(i)] = h;
        }

        degree[at(me)] = degme;
        lemax = std::max(lemax, degme);
        wflg += lemax;
        clear_flags();

        detect_supervariables();

        // Degrees back into the lists; the survivors form me's pattern.
        const Index nleft = n - nel;
        Index kept = 0;
        for (Index t = 0; t < nlme; ++t) {
            const Index i = lme[at(t)];
            if (nv[at(i)] >= 0) continue;
            const Index s = -nv[at(i)];
            nv[at(i)] = s;
            const std::int64_t d = std::min<std::int64_t>(std::int64_t{degree[at(i)]} + degme - s,
                                                          std::int64_t{nleft} - s);
            if (d < 0) stop("amd: negative degree");
            const auto di = static_cast<Index>(d);
            insert_degree(i, di);
            mindeg = std::min(mindeg, di);
            degree[at(i)] = di;
            lme[at(kept++)] = i;
        }
        nlme = kept;
        nv[at(me)] = nvpiv;
        if (kept == 0) {
            parent[at(me)] = none;
            w[at(me)] = 0;
            return;
        }
        if (static_cast<std::size_t>(pfree) + at(kept) > iw.size()) compact();
        if (static_cast<std::size_t>(pfree) + at(kept) > iw.size()) {
            stop("amd: the quotient graph outgrew its lists");
        }
        pe[at(me)] = pfree;
        len[at(me)] = kept;
        std::copy(lme.begin(), lme.begin() + kept, iw.begin() + pfree);
        pfree += kept;
    }

    // Variables of equal lists are indistinguishable: each bucket is emptied, and every variable b
    // whose list matches that of an earlier one a (same len and elen, same entries after me,
    // compared through the marks w = wflg of a's list) merges into a: parent[b] = a, nv[b] = 0.
    void detect_supervariables() {
        for (Index t = 0; t < nlme; ++t) {
            const Index i = lme[at(t)];
            if (nv[at(i)] >= 0) continue;
            const Index h = last[at(i)];
            const Index j = head[at(h)];
            Index a;
            if (j == none) {
                continue;
            } else if (j < none) {
                a = -2 - j;
                head[at(h)] = none;
            } else {
                a = last[at(j)];
                last[at(j)] = none;
            }
            while (a != none && next[at(a)] != none) {
                const Index* la = list(a);
                const Index ln = len[at(a)];
                const Index eln = elen[at(a)];
                for (Index k = 1; k < ln; ++k) w[at(la[k])] = wflg;
                Index jlast = a;
                Index b = next[at(a)];
                while (b != none) {
                    bool same = len[at(b)] == ln && elen[at(b)] == eln;
                    const Index* lb = same ? list(b) : nullptr;
                    for (Index k = 1; same && k < ln; ++k) same = w[at(lb[k])] == wflg;
                    if (same) {
                        parent[at(b)] = a;
                        nv[at(a)] += nv[at(b)];
                        nv[at(b)] = 0;
                        elen[at(b)] = none;
                        release(b);
                        b = next[at(b)];
                        next[at(jlast)] = b;
                    } else {
                        jlast = b;
                        b = next[at(b)];
                    }
                }
                ++wflg;
                a = next[at(a)];
            }
        }
    }

    std::vector<Index> permutation() {
        const std::size_t size = at(n);
        // Point every absorbed or mass-eliminated variable straight at its element.
        for (Index i = 0; i < n; ++i) {
            if (nv[at(i)] != 0 || parent[at(i)] == none) continue;
            Index e = parent[at(i)];
            while (nv[at(e)] == 0) e = parent[at(e)];
            Index j = i;
            while (nv[at(j)] == 0) {
                const Index jnext = parent[at(j)];
                parent[at(j)] = e;
                j = jnext;
            }
        }
        const std::vector<Index> order = postorder(size, parent, nv, elen);
        std::vector<Index> by_order(size, none);
        for (std::size_t e = 0; e < size; ++e) {
            if (order[e] != none) by_order[at(order[e])] = static_cast<Index>(e);
        }
        std::vector<Index> pos(size, 0);
        Index k = 0;
        for (std::size_t t = 0; t < size && by_order[t] != none; ++t) {
            const Index e = by_order[t];
            pos[at(e)] = k;
            k += nv[at(e)];
        }
        for (std::size_t i = 0; i < size; ++i) {
            if (nv[i] != 0) continue;
            const Index e = parent[i];
            if (e != none) {
                pos[i] = pos[at(e)]++;
            } else {
                pos[i] = k++;
            }
        }
        std::vector<Index> perm(size, none);
        for (std::size_t i = 0; i < size; ++i) {
            const Index p = pos[i];
            check_index(at(p), size);
            if (perm[at(p)] != none) stop("amd: two nodes share position " + std::to_string(p));
            perm[at(p)] = static_cast<Index>(i);
        }
        return perm;
    }
};

}  // namespace

std::vector<std::int32_t> amd_2(std::size_t n, SymmetricLists lists) {
    if (n == 0) return {};
    check_len(lists.pe.size(), n, "list starts");
    check_len(lists.len.size(), n, "list lengths");
    Elimination el(n, std::move(lists));
    el.initialise();
    while (el.nel < el.n) el.step();
    return el.permutation();
}

}  // namespace quillmere::klu_native::amd
