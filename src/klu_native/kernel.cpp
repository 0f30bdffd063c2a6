#include "klu_native/kernel.hpp"

#include <cmath>
#include <numeric>

#include "klu_native/marked_index.hpp"
#include "stop.hpp"

namespace quillmere::klu_native {
namespace {

constexpr std::int64_t not_pruned = -1;

// Per-column work arrays of one block, nk entries each; see factor_block.
struct BlockWork {
    std::vector<double> x;
    std::vector<std::int64_t> flag;
    std::vector<std::int64_t> lpend;
    std::vector<std::size_t> stack;
    std::vector<std::int64_t> scan_pos;
    std::vector<std::int64_t> row_pos;  // >= 0: pivot of that column; < 0: flip(logged column)

    explicit BlockWork(std::size_t nk)
        : x(nk, 0.0), flag(nk, -1), lpend(nk, not_pruned), stack(nk), scan_pos(nk), row_pos(nk) {
        for (std::size_t i = 0; i < nk; ++i) row_pos[i] = flip(static_cast<std::int64_t>(i));
    }
};

std::size_t as_index(std::int64_t i) {
    return static_cast<std::size_t>(i);
}

// Depth-first search from the pivotal row `start` through the columns of L built so far. Reached
// pivotal rows are pushed from the back of the stack in topological order (returns the new top);
// reached non-pivotal rows are appended to the candidates in the order met.
std::size_t reach_from(std::size_t start, std::int64_t k, std::size_t top,
                       const std::vector<std::vector<FactorEntry>>& l, BlockWork& w,
                       std::vector<FactorEntry>& candidates) {
    w.stack[0] = start;
    std::int64_t level = 0;
    while (level >= 0) {
        const std::size_t lv = as_index(level);
        const std::size_t j = w.stack[lv];
        const std::size_t jnew = as_index(w.row_pos[j]);
        if (w.flag[j] != k) {
            w.flag[j] = k;
            const std::int64_t len = w.lpend[jnew] == not_pruned
                                         ? static_cast<std::int64_t>(l[jnew].size())
                                         : w.lpend[jnew];
            w.scan_pos[lv] = len - 1;
        } else {
            w.scan_pos[lv] -= 1;
        }
        bool descended = false;
        const std::vector<FactorEntry>& col = l[jnew];
        for (std::int64_t pos = w.scan_pos[lv]; pos >= 0; --pos) {
            const std::size_t r = col[as_index(pos)].row;
            if (w.flag[r] == k) continue;
            if (w.row_pos[r] >= 0) {
                w.scan_pos[lv] = pos;
                ++level;
                w.stack[as_index(level)] = r;
                descended = true;
                break;
            }
            w.flag[r] = k;
            candidates.push_back({static_cast<std::uint32_t>(r), 0.0});
        }
        if (!descended) {
            --top;
            w.stack[top] = j;
            --level;
        }
    }
    return top;
}

// Moves the pivotal rows of column j of L to its front and records how many there are: a
// reach only needs to scan those, because the rest is reached through the column that pruned j.
void prune_column(std::vector<FactorEntry>& col, const std::vector<std::int64_t>& row_pos,
                  std::int64_t& lpend) {
    std::size_t front = 0;
    std::size_t back = col.size();
    while (front < back) {
        if (row_pos[col[front].row] >= 0) {
            ++front;
        } else {
            --back;
            std::swap(col[front], col[back]);
        }
    }
    lpend = static_cast<std::int64_t>(back);
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

std::optional<BlockFactor> factor_block(std::size_t nk,
                                        std::span<const std::vector<GatheredEntry>> cols,
                                        double tol) {
    check_len(cols.size(), nk, "gathered columns");
    BlockFactor f;
    f.l.resize(nk);
    f.u.resize(nk);
    f.udiag.assign(nk, 0.0);
    f.perm.resize(nk);
    std::iota(f.perm.begin(), f.perm.end(), std::size_t{0});
    BlockWork w(nk);

    for (std::size_t k = 0; k < nk; ++k) {
        const auto kk = static_cast<std::int64_t>(k);
        std::vector<FactorEntry> candidates;
        std::size_t top = nk;
        for (const GatheredEntry& e : cols[k]) {
            const std::size_t i = e.row;
            check_index(i, nk);
            if (w.flag[i] == kk) continue;
            if (w.row_pos[i] < 0) {
                w.flag[i] = kk;
                candidates.push_back({e.row, 0.0});
            } else {
                top = reach_from(i, kk, top, f.l, w, candidates);
            }
        }

        for (const GatheredEntry& e : cols[k]) w.x[e.row] = e.value;

        for (std::size_t s = top; s < nk; ++s) {
            const std::size_t j = w.stack[s];
            const std::vector<FactorEntry>& col = f.l[as_index(w.row_pos[j])];
            if (col.empty()) continue;
            const double xj = w.x[j];
            for (const FactorEntry& e : col) w.x[e.row] = w.x[e.row] - xj * e.value;
        }

        for (FactorEntry& c : candidates) {
            c.value = w.x[c.row];
            w.x[c.row] = 0.0;
        }
        const std::optional<Pivot> pivot = lpivot(candidates, f.perm[k], tol);
        if (!pivot) return std::nullopt;

        std::vector<FactorEntry>& ucol = f.u[k];
        ucol.reserve(nk - top);
        for (std::size_t s = top; s < nk; ++s) {
            const std::size_t j = w.stack[s];
            ucol.push_back({static_cast<std::uint32_t>(w.row_pos[j]), w.x[j]});
            w.x[j] = 0.0;
        }
        f.udiag[k] = pivot->value;

        const std::size_t pivrow = pivot->row;
        const std::size_t diag = f.perm[k];
        if (pivrow != diag && w.row_pos[diag] < 0) {
            const std::int64_t kbar = unflip(w.row_pos[pivrow]);
            f.perm[as_index(kbar)] = diag;
            w.row_pos[diag] = flip(kbar);
        }
        f.perm[k] = pivrow;
        w.row_pos[pivrow] = kk;

        for (const FactorEntry& ue : ucol) {
            const std::size_t j = ue.row;
            if (w.lpend[j] != not_pruned) continue;
            for (const FactorEntry& le : f.l[j]) {
                if (le.row == pivrow) {
                    prune_column(f.l[j], w.row_pos, w.lpend[j]);
                    break;
                }
            }
        }

        f.l[k] = std::move(candidates);
    }

    for (std::vector<FactorEntry>& col : f.l) {
        for (FactorEntry& e : col) e.row = static_cast<std::uint32_t>(w.row_pos[e.row]);
    }
    return f;
}

void gather_block_columns(std::size_t k1, std::size_t k2, std::span<const std::uint32_t> col_ptr,
                          std::span<const std::uint32_t> row_idx, std::span<const double> values,
                          std::span<const std::size_t> q, std::span<const std::size_t> position,
                          std::span<std::vector<GatheredEntry>> cols) {
    for (std::size_t j = 0; j < k2 - k1; ++j) {
        std::vector<GatheredEntry>& out = cols[j];
        out.clear();
        const std::size_t c = q[k1 + j];
        for (std::size_t p = col_ptr[c]; p < col_ptr[c + 1]; ++p) {
            const std::size_t i = row_idx[p];
            const std::size_t pos = position[i];
            if (pos < k1) continue;
            if (pos < k2) {
                out.push_back({static_cast<std::uint32_t>(pos - k1), values[p]});
            } else {
                stop("entry of row " + std::to_string(i) +
                     " lies below the diagonal block of column " + std::to_string(c));
            }
        }
    }
}

}  // namespace quillmere::klu_native
