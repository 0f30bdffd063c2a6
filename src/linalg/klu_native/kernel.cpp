#include "linalg/klu_native/kernel.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "common/stop.hpp"
#include "linalg/compressed_pattern.hpp"
#include "linalg/klu_native/marked_index.hpp"

namespace quillmere::klu_native {
namespace {

constexpr std::int32_t not_pruned = -1;

std::size_t at(std::int32_t i) {
    return static_cast<std::size_t>(i);
}

// The columns of L built so far in one block: column c holds li/lx[lp[c] .. lp[c+1]-1], rows local
// to the block until the block is done.
struct BlockL {
    const std::uint32_t* lp;
    std::uint32_t* li;
    double* lx;
};

// Depth-first search from the pivotal row `start` through the columns of L built so far. Reached
// pivotal rows are pushed from the back of the stack in topological order (returns the new top);
// reached non-pivotal rows are appended to the candidates in the order met. Iterative: stack[0 ..
// level] is the path and scan_pos[level] where its column's scan resumes; a row is flagged k when
// first met, so no row is visited twice for column k.
std::size_t reach_from(std::uint32_t start, std::int32_t k, std::size_t top, const BlockL& l,
                       FactorWork& w) {
    std::uint32_t* stack = w.stack.data();
    std::int32_t* flag = w.flag.data();
    std::int32_t* scan_pos = w.scan_pos.data();
    const std::int32_t* row_pos = w.row_pos.data();
    const std::int32_t* lpend = w.lpend.data();
    stack[0] = start;
    std::int32_t level = 0;
    while (level >= 0) {
        const std::size_t lv = at(level);
        const std::uint32_t j = stack[lv];
        const std::size_t jnew = at(row_pos[j]);
        if (flag[j] != k) {
            flag[j] = k;
            const std::int32_t len = lpend[jnew] == not_pruned
                                         ? static_cast<std::int32_t>(l.lp[jnew + 1] - l.lp[jnew])
                                         : lpend[jnew];
            scan_pos[lv] = len - 1;
        } else {
            scan_pos[lv] -= 1;
        }
        bool descended = false;
        const std::uint32_t* col = l.li + l.lp[jnew];
        for (std::int32_t pos = scan_pos[lv]; pos >= 0; --pos) {
            const std::uint32_t r = col[pos];
            if (flag[r] == k) continue;
            if (row_pos[r] >= 0) {
                scan_pos[lv] = pos;
                ++level;
                stack[at(level)] = r;
                descended = true;
                break;
            }
            flag[r] = k;
            w.candidates.push_back({r, 0.0});
        }
        if (!descended) {
            --top;
            stack[top] = j;
            --level;
        }
    }
    return top;
}

// Moves the pivotal rows of column j of L to its front and records how many there are: a
// reach only needs to scan those, because the rest is reached through the column that pruned j.
void prune_column(const BlockL& l, std::size_t j, const std::vector<std::int32_t>& row_pos,
                  std::int32_t& lpend) {
    const std::uint32_t begin = l.lp[j];
    std::uint32_t front = begin;
    std::uint32_t back = l.lp[j + 1];
    while (front < back) {
        if (row_pos[l.li[front]] >= 0) {
            ++front;
        } else {
            --back;
            std::swap(l.li[front], l.li[back]);
            std::swap(l.lx[front], l.lx[back]);
        }
    }
    lpend = static_cast<std::int32_t>(back - begin);
}

bool fits_32bit(std::size_t stored, std::size_t more) {
    return more <= kMaxCompressedIndex - stored;
}

}  // namespace

std::optional<Pivot> lpivot(std::vector<FactorEntry>& candidates, std::size_t diag_row,
                            double tol) {
    const std::size_t m = candidates.size();
    if (m == 0) return std::nullopt;
    double amax_o = -1.0;
    std::size_t ppiv = 0;
    bool any = false;
    std::optional<std::size_t> pdiag;
    for (std::size_t t = 0; t + 1 < m; ++t) {
        const double a = std::fabs(candidates[t].value);
        if (a > amax_o) {
            amax_o = a;
            ppiv = t;
            any = true;
        }
        if (candidates[t].row == diag_row) pdiag = t;
    }
    const std::size_t last = m - 1;
    const double a_last = std::fabs(candidates[last].value);
    const double amax = a_last > amax_o ? a_last : amax_o;
    const bool last_is_diag = candidates[last].row == diag_row;

    std::size_t chosen = last;
    if (last_is_diag && a_last >= tol * amax) {
        chosen = last;
    } else if (!last_is_diag && pdiag && std::fabs(candidates[*pdiag].value) >= tol * amax) {
        chosen = *pdiag;
    } else if (any && !(a_last > amax_o)) {
        chosen = ppiv;
    }
    const Pivot pivot{candidates[chosen].row, candidates[chosen].value};
    candidates[chosen] = candidates[last];
    candidates.pop_back();
    if (pivot.value == 0.0) return std::nullopt;
    for (FactorEntry& e : candidates) e.value = e.value / pivot.value;
    return pivot;
}

bool factor_block(std::size_t k1, BlockColumns cols, double tol, FactorWork& w, Numeric& num,
                  std::span<std::uint32_t> perm) {
    const std::size_t nk = cols.begin.size();
    check_len(cols.end.size(), nk, "column ends");
    check_len(w.x.size(), nk, "factor work space");
    check_len(perm.size(), nk, "pivot rows");
    const std::size_t entries = std::min(cols.rows.size(), cols.values.size());
    if (num.lp.size() != k1 + 1 || num.up.size() != k1 + 1) {
        stop("the factors end at column " + std::to_string(num.lp.size()) +
             " where a block starts at " + std::to_string(k1));
    }
    for (std::size_t i = 0; i < nk; ++i) {
        w.x[i] = 0.0;
        w.flag[i] = -1;
        w.lpend[i] = not_pruned;
        w.row_pos[i] = flip(static_cast<std::int32_t>(i));
        perm[i] = static_cast<std::uint32_t>(i);
    }
    // perm[k]: before column k is factored, the row preferred as its diagonal (never pivotal
    // yet); afterwards its pivot row. The rows of the block's L are block rows until the end of
    // the block, when they become pivot positions; those of U are positions already, as only
    // pivotal rows enter U.
    const std::size_t l_begin = num.li.size();
    std::vector<FactorEntry>& candidates = w.candidates;
    double* x = w.x.data();

    for (std::size_t k = 0; k < nk; ++k) {
        const auto kk = static_cast<std::int32_t>(k);
        const std::uint32_t a_begin = cols.begin[k];
        const std::uint32_t a_end = cols.end[k];
        if (a_begin > a_end || a_end > entries) {
            stop("column " + std::to_string(k) + " of the block spans entries " +
                 std::to_string(a_begin) + " to " + std::to_string(a_end) + " of " +
                 std::to_string(entries));
        }
        const BlockL l{num.lp.data() + k1, num.li.data(), num.lx.data()};
        // The pattern of column k: a row not yet pivotal is a candidate; a pivotal one starts a
        // reach through L, which leaves U(:,k)'s rows in stack[top .. nk-1].
        candidates.clear();
        std::size_t top = nk;
        for (std::uint32_t p = a_begin; p < a_end; ++p) {
            if (cols.rows[p] < k1) continue;
            const std::size_t i = cols.rows[p] - k1;
            if (i >= nk) {
                stop("an entry in row " + std::to_string(cols.rows[p]) +
                     " lies below the diagonal block at " + std::to_string(k1));
            }
            if (w.flag[i] == kk) continue;
            if (w.row_pos[i] < 0) {
                w.flag[i] = kk;
                candidates.push_back({static_cast<std::uint32_t>(i), 0.0});
            } else {
                top = reach_from(static_cast<std::uint32_t>(i), kk, top, l, w);
            }
        }

        for (std::uint32_t p = a_begin; p < a_end; ++p) {
            if (cols.rows[p] >= k1) x[cols.rows[p] - k1] = cols.values[p];
        }

        // Solve with L in topological order: x[j] is final, U(j,k), before column j of L uses it.
        for (std::size_t s = top; s < nk; ++s) {
            const std::uint32_t j = w.stack[s];
            const std::size_t c = at(w.row_pos[j]);
            const std::uint32_t lend = l.lp[c + 1];
            if (l.lp[c] == lend) continue;
            const double xj = x[j];
            for (std::uint32_t p = l.lp[c]; p < lend; ++p) x[l.li[p]] = x[l.li[p]] - xj * l.lx[p];
        }

        for (FactorEntry& c : candidates) {
            c.value = x[c.row];
            x[c.row] = 0.0;
        }
        const std::optional<Pivot> pivot = lpivot(candidates, perm[k], tol);
        if (!pivot) return false;

        const std::size_t u_begin = num.ui.size();
        if (!fits_32bit(u_begin, nk - top)) return false;
        for (std::size_t s = top; s < nk; ++s) {
            const std::uint32_t j = w.stack[s];
            num.ui.push_back(static_cast<std::uint32_t>(k1 + at(w.row_pos[j])));
            num.ux.push_back(x[j]);
            x[j] = 0.0;
        }
        num.up.push_back(static_cast<std::uint32_t>(num.ui.size()));
        num.udiag.push_back(pivot->value);

        const auto pivrow = static_cast<std::uint32_t>(pivot->row);
        const std::uint32_t diag = perm[k];
        if (pivrow != diag && w.row_pos[diag] < 0) {
            const std::int32_t kbar = unflip(w.row_pos[pivrow]);
            perm[at(kbar)] = diag;
            w.row_pos[diag] = flip(kbar);
        }
        perm[k] = pivrow;
        w.row_pos[pivrow] = kk;

        // Symmetric pruning: column j of L with U(j,k) nonzero and k's pivot row in it. Its rows
        // not yet pivotal all lie in column k too (they filled it through U(j,k)), so a later
        // reach through j finds them through the pivot row and column k; j keeps only its
        // pivotal rows for the reach. A column is pruned once.
        for (std::size_t u = u_begin; u < num.ui.size(); ++u) {
            const std::size_t j = num.ui[u] - k1;
            if (w.lpend[j] != not_pruned) continue;
            for (std::uint32_t p = l.lp[j]; p < l.lp[j + 1]; ++p) {
                if (l.li[p] == pivrow) {
                    prune_column(l, j, w.row_pos, w.lpend[j]);
                    break;
                }
            }
        }

        if (!fits_32bit(num.li.size(), candidates.size())) return false;
        for (const FactorEntry& c : candidates) {
            num.li.push_back(c.row);
            num.lx.push_back(c.value);
        }
        num.lp.push_back(static_cast<std::uint32_t>(num.li.size()));
    }

    // Every row of the block is pivotal now: L's rows become their pivot positions.
    for (std::size_t p = l_begin; p < num.li.size(); ++p) {
        num.li[p] = static_cast<std::uint32_t>(k1 + at(w.row_pos[num.li[p]]));
    }
    return true;
}

}  // namespace quillmere::klu_native
