#include "linalg/block_sparse.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <string>

#include "common/stop.hpp"
#include "linalg/colamd_order.hpp"

namespace quillmere {

namespace {

// Never a position: the initial value of every mark.
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

constexpr Block kZeroBlock{0.0, 0.0, 0.0, 0.0};

// The block arithmetic below fixes every rounding of the factors: the results are pinned bit for
// bit, so neither the operations nor their order may change.
Block add(const Block& a, const Block& b) {
    return {a[0] + b[0], a[1] + b[1], a[2] + b[2], a[3] + b[3]};
}

Block sub(const Block& a, const Block& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2], a[3] - b[3]};
}

Block mul(const Block& a, const Block& b) {
    return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2],
            a[2] * b[1] + a[3] * b[3]};
}

BlockVector mul(const Block& a, const BlockVector& x) {
    return {a[0] * x[0] + a[1] * x[1], a[2] * x[0] + a[3] * x[1]};
}

BlockVector sub(const BlockVector& a, const BlockVector& b) {
    return {a[0] - b[0], a[1] - b[1]};
}

// Explicit inverse; absent when the determinant is not finite or below 1e-300 in magnitude.
std::optional<Block> inverse(const Block& d) {
    const double det = d[0] * d[3] - d[1] * d[2];
    if (!std::isfinite(det) || std::abs(det) < 1e-300) return std::nullopt;
    const double r = 1.0 / det;
    return Block{d[3] * r, -d[1] * r, -d[2] * r, d[0] * r};
}

// The fill is found along rows and the factorisation reads the values by columns: the two agree
// only for a structurally symmetric pattern.
void check_symmetric(const CompressedPattern& a) {
    const std::size_t n = a.n;
    std::vector<std::uint32_t> row_ptr(n + 1, 0);
    for (const std::uint32_t r : a.row_idx) ++row_ptr[r + 1];
    for (std::size_t r = 0; r < n; ++r) row_ptr[r + 1] += row_ptr[r];
    // Filled column by column, so every row lists its columns ascending.
    std::vector<std::uint32_t> col_idx(a.row_idx.size());
    std::vector<std::uint32_t> next(row_ptr.begin(), row_ptr.end() - 1);
    for (std::size_t c = 0; c < n; ++c) {
        for (std::uint32_t e = a.col_ptr[c]; e < a.col_ptr[c + 1]; ++e) {
            col_idx[next[a.row_idx[e]]++] = static_cast<std::uint32_t>(c);
        }
    }
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::equal(col_idx.begin() + row_ptr[k], col_idx.begin() + row_ptr[k + 1],
                        a.row_idx.begin() + a.col_ptr[k], a.row_idx.begin() + a.col_ptr[k + 1])) {
            stop("block pattern is not structurally symmetric: block row " + std::to_string(k) +
                 " and block column " + std::to_string(k) + " differ");
        }
    }
}

}  // namespace

BlockLu BlockLu::analyze(std::size_t n, std::span<const std::size_t> rows,
                         std::span<const std::size_t> cols) {
    const std::optional<CompressedPattern> given = compress_pattern(n, rows, cols);
    if (!given)
        stop("a block pattern of dimension " + std::to_string(n) + " with " +
             std::to_string(rows.size()) + " positions needs indices of 32 bits or more");
    check_symmetric(*given);

    BlockLu lu;
    lu.n_ = static_cast<std::uint32_t>(n);
    lu.order_ = colamd_order(*given);
    std::vector<std::uint32_t> pos(n, kNone);
    for (std::size_t j = 0; j < n; ++j) {
        check_index(lu.order_[j], n);
        pos[lu.order_[j]] = static_cast<std::uint32_t>(j);
    }
    for (std::size_t j = 0; j < n; ++j) {
        if (pos[j] == kNone) stop("colamd order misses block " + std::to_string(j));
    }

    // The matrix in positions, with the slot of every given position.
    std::vector<std::size_t> prow(rows.size());
    std::vector<std::size_t> pcol(cols.size());
    for (std::size_t t = 0; t < rows.size(); ++t) {
        prow[t] = pos[rows[t]];
        pcol[t] = pos[cols[t]];
    }
    lu.input_ = *compress_pattern(n, prow, pcol);
    const CompressedPattern& a = lu.input_;

    // Row i of the fill: the positions of row i of the matrix (its column i, by symmetry) and,
    // transitively, the upper parts of the earlier rows whose elimination reaches it. Found along
    // rows, kept as columns: the filled pattern is symmetric too.
    std::vector<std::uint32_t>& index = lu.index_;
    lu.start_.reserve(n + 1);
    lu.diag_.reserve(n);
    lu.start_.push_back(0);
    // The positions after the pivot of the rows (columns) already made.
    const auto lower_of = [&](std::uint32_t p) {
        return std::span<const std::uint32_t>(index.data() + lu.diag_[p] + 1,
                                              index.data() + lu.start_[p + 1]);
    };
    std::vector<std::uint32_t> mark_row(n, kNone);
    std::vector<std::uint32_t> mark_reach(n, kNone);
    std::vector<std::uint32_t> row;    // the positions of row i found so far
    std::vector<std::uint32_t> stack;  // earlier rows still to follow
    std::vector<std::uint32_t> reached;
    for (std::uint32_t i = 0; i < lu.n_; ++i) {
        row.clear();
        const auto mark = [&](std::uint32_t c) {
            if (mark_row[c] != i) {
                mark_row[c] = i;
                row.push_back(c);
            }
        };
        for (std::uint32_t e = a.col_ptr[i]; e < a.col_ptr[i + 1]; ++e) mark(a.row_idx[e]);

        stack.clear();
        reached.clear();
        for (const std::uint32_t p : row) {
            if (p < i && mark_reach[p] != i) {
                mark_reach[p] = i;
                stack.push_back(p);
                reached.push_back(p);
            }
        }
        while (!stack.empty()) {
            const std::uint32_t p = stack.back();
            stack.pop_back();
            for (const std::uint32_t q : lower_of(p)) {
                if (q < i && mark_reach[q] != i) {
                    mark_reach[q] = i;
                    stack.push_back(q);
                    reached.push_back(q);
                }
            }
        }
        // The order of the reached rows is immaterial (the list is sorted below).
        for (const std::uint32_t q : reached) {
            for (const std::uint32_t c : lower_of(q)) mark(c);
        }
        // The pivot is always stored; one that receives nothing stays the zero block and fails.
        mark(i);

        std::sort(row.begin(), row.end());
        if (row.size() > kMaxCompressedIndex - index.size()) {
            stop("the block fill needs indices of 32 bits or more");
        }
        lu.diag_.push_back(static_cast<std::uint32_t>(
            index.size() + std::size_t(std::find(row.begin(), row.end(), i) - row.begin())));
        index.insert(index.end(), row.begin(), row.end());
        lu.start_.push_back(static_cast<std::uint32_t>(index.size()));
    }
    for (std::uint32_t j = 0; j < lu.n_; ++j) {
        for (std::uint32_t e = lu.start_[j]; e < lu.diag_[j]; ++e) {
            const std::uint32_t k = index[e];
            lu.updates_ += lu.start_[k + 1] - lu.diag_[k] - 1;
        }
    }

    lu.values_.assign(a.entries(), kZeroBlock);
    lu.factors_.assign(index.size(), kZeroBlock);
    lu.pivot_inverse_.assign(n, kZeroBlock);
    lu.where_.assign(n, 0);
    lu.y_.assign(n, BlockVector{0.0, 0.0});
    return lu;
}

void BlockLu::clear_values() {
    std::fill(values_.begin(), values_.end(), Block{-0.0, -0.0, -0.0, -0.0});
}

void BlockLu::assign(std::span<const Block> given) {
    const std::vector<std::uint32_t>& slot = input_.slot;
    if (given.size() != slot.size()) {
        stop(std::to_string(given.size()) + " blocks given for a pattern of " +
             std::to_string(slot.size()) + " positions");
    }
    clear_values();
    for (std::size_t t = 0; t < given.size(); ++t) {
        values_[slot[t]] = add(values_[slot[t]], given[t]);
    }
}

bool BlockLu::refactor() {
    factored_ = false;
    const std::uint32_t* a_start = input_.col_ptr.data();
    const std::uint32_t* a_index = input_.row_idx.data();
    const Block* a = values_.data();
    const std::uint32_t* start = start_.data();
    const std::uint32_t* index = index_.data();
    const std::uint32_t* diag = diag_.data();
    Block* f = factors_.data();
    std::uint32_t* where = where_.data();

    // Left-looking, one column at a time, in the column's own storage: every block of the column
    // starts at zero, takes the matrix's block, then the updates of the earlier columns of L in
    // ascending position, each of which is final when it is used.
    for (std::uint32_t j = 0; j < n_; ++j) {
        const std::uint32_t begin = start[j];
        const std::uint32_t pivot = diag[j];
        const std::uint32_t end = start[j + 1];
        for (std::uint32_t e = begin; e < end; ++e) {
            where[index[e]] = e;
            f[e] = kZeroBlock;
        }
        for (std::uint32_t e = a_start[j]; e < a_start[j + 1]; ++e) f[where[a_index[e]]] = a[e];

        for (std::uint32_t e = begin; e < pivot; ++e) {
            const std::uint32_t k = index[e];
            const Block x = f[e];
            for (std::uint32_t t = diag[k] + 1; t < start[k + 1]; ++t) {
                Block& w = f[where[index[t]]];
                w = sub(w, mul(f[t], x));
            }
        }

        const std::optional<Block> pivot_inverse = inverse(f[pivot]);
        if (!pivot_inverse) return false;
        pivot_inverse_[j] = *pivot_inverse;
        for (std::uint32_t e = pivot + 1; e < end; ++e) f[e] = mul(f[e], *pivot_inverse);
    }
    factored_ = true;
    return true;
}

void BlockLu::solve(std::span<BlockVector> x) {
    if (x.size() != n_) {
        stop("right-hand side holds " + std::to_string(x.size()) + " block vectors but " +
             std::to_string(n_) + " are required");
    }
    if (!factored_) stop("block solve without a successful refactor");
    const std::uint32_t* start = start_.data();
    const std::uint32_t* index = index_.data();
    const std::uint32_t* diag = diag_.data();
    const Block* f = factors_.data();
    BlockVector* y = y_.data();

    for (std::uint32_t k = 0; k < n_; ++k) y[k] = x[order_[k]];
    for (std::uint32_t k = 0; k < n_; ++k) {
        const BlockVector yk = y[k];
        for (std::uint32_t t = diag[k] + 1; t < start[k + 1]; ++t) {
            y[index[t]] = sub(y[index[t]], mul(f[t], yk));
        }
    }
    for (std::uint32_t j = n_; j-- > 0;) {
        y[j] = mul(pivot_inverse_[j], y[j]);
        const BlockVector yj = y[j];
        for (std::uint32_t t = start[j]; t < diag[j]; ++t) {
            y[index[t]] = sub(y[index[t]], mul(f[t], yj));
        }
    }
    for (std::uint32_t k = 0; k < n_; ++k) x[order_[k]] = y[k];
}

BlockLuCounts BlockLu::counts() const {
    BlockLuCounts counts{n_, values_.size(), 0, 0, updates_};
    for (std::uint32_t j = 0; j < n_; ++j) {
        counts.u_blocks += diag_[j] + 1 - start_[j];
        counts.l_blocks += start_[j + 1] - diag_[j] - 1;
    }
    return counts;
}

}  // namespace quillmere
