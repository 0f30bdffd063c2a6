#include "block_sparse.hpp"

#include <Eigen/OrderingMethods>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

#include "stop.hpp"

namespace quillmere {

namespace {

// Never a position or block index: the initial value of every mark.
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

constexpr Block kZeroBlock{0.0, 0.0, 0.0, 0.0};

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

// Offsets [begin, end) of list k, checked against the lists' own storage.
std::pair<std::size_t, std::size_t> list_range(const std::vector<std::size_t>& start, std::size_t k,
                                               std::size_t stored) {
    check_index(k, start.empty() ? 0 : start.size() - 1);
    const std::size_t begin = start[k];
    const std::size_t end = start[k + 1];
    if (begin > end || end > stored) {
        stop("list " + std::to_string(k) + " spans " + std::to_string(begin) + ".." +
             std::to_string(end) + " of " + std::to_string(stored) + " stored entries");
    }
    return {begin, end};
}

// pos[order[j]] = j for the positions j of an n-block order; stops on an order that is too short
// or names a block index of n or more.
std::vector<std::size_t> positions(const std::vector<std::size_t>& order, std::size_t n) {
    std::vector<std::size_t> pos(n, kNone);
    for (std::size_t j = 0; j < n; ++j) {
        check_index(j, order.size());
        check_index(order[j], n);
        pos[order[j]] = j;
    }
    return pos;
}

const char* colamd_status_name(std::int64_t status) {
    namespace C = Eigen::internal::Colamd;
    switch (status) {
        case C::ErrorANotPresent:
            return "ANotPresent";
        case C::ErrorPNotPresent:
            return "PNotPresent";
        case C::ErrorNrowNegative:
            return "NrowNegative";
        case C::ErrorNcolNegative:
            return "NcolNegative";
        case C::ErrorNnzNegative:
            return "NnzNegative";
        case C::ErrorP0Nonzero:
            return "P0Nonzero";
        case C::ErrorATooSmall:
            return "ATooSmall";
        case C::ErrorColLengthNegative:
            return "ColLengthNegative";
        case C::ErrorRowIndexOutOfBounds:
            return "RowIndexOutOfBounds";
        case C::ErrorOutOfMemory:
            return "OutOfMemory";
        default:
            return "InternalError";
    }
}

}  // namespace

std::span<const std::size_t> IndexLists::operator[](std::size_t k) const {
    const auto [begin, end] = list_range(start, k, index.size());
    return {index.data() + begin, end - begin};
}

std::span<const std::size_t> BlockLists::indices(std::size_t k) const {
    const auto [begin, end] = list_range(start, k, std::min(index.size(), block.size()));
    return {index.data() + begin, end - begin};
}

std::span<const Block> BlockLists::blocks(std::size_t k) const {
    const auto [begin, end] = list_range(start, k, std::min(index.size(), block.size()));
    return {block.data() + begin, end - begin};
}

BlockAdjacency BlockMatrix::finish() && {
    std::vector<BlockEntry> runs = std::move(entries);
    entries = {};
    std::sort(runs.begin(), runs.end(), [](const BlockEntry& a, const BlockEntry& b) {
        return a.row < b.row || (a.row == b.row && a.col < b.col);
    });

    // Sum every run of one position into its first slot, compacting the list in place.
    std::size_t distinct = 0;
    for (std::size_t k = 0; k < runs.size();) {
        BlockEntry sum = runs[k];
        std::size_t next = k + 1;
        for (; next < runs.size() && runs[next].row == sum.row && runs[next].col == sum.col;
             ++next) {
            sum.block = add(sum.block, runs[next].block);
        }
        check_index(sum.row, n);
        check_index(sum.col, n);
        runs[distinct++] = sum;
        k = next;
    }
    runs.resize(distinct);

    BlockAdjacency adj;
    adj.n = n;
    adj.rows.start.assign(n + 1, 0);
    adj.cols.start.assign(n + 1, 0);
    for (const BlockEntry& e : runs) {
        ++adj.rows.start[e.row + 1];
        ++adj.cols.start[e.col + 1];
    }
    for (std::size_t k = 0; k < n; ++k) {
        adj.rows.start[k + 1] += adj.rows.start[k];
        adj.cols.start[k + 1] += adj.cols.start[k];
    }
    adj.rows.index.resize(distinct);
    adj.rows.block.resize(distinct);
    adj.cols.index.resize(distinct);
    adj.cols.block.resize(distinct);
    // The runs come by row, so the rows fill in order and each column receives its rows
    // ascending.
    std::vector<std::size_t> col_fill(adj.cols.start.begin(), adj.cols.start.end() - 1);
    for (std::size_t k = 0; k < distinct; ++k) {
        const BlockEntry& e = runs[k];
        adj.rows.index[k] = e.col;
        adj.rows.block[k] = e.block;
        const std::size_t slot = col_fill[e.col]++;
        adj.cols.index[slot] = e.row;
        adj.cols.block[slot] = e.block;
    }
    return adj;
}

std::vector<std::size_t> BlockAdjacency::colamd_order() const {
    using Index = std::int64_t;
    const char* kPatternMessage = "block adjacency should always form a valid sparsity pattern";
    // Far below the index range, so that COLAMD's own size arithmetic cannot overflow.
    constexpr std::size_t kMaxSize = std::size_t{1} << 56;

    // The pattern in compressed columns: column c lists every row r with a block at (r, c).
    std::vector<Index> col_start;
    std::vector<Index> row_index;
    try {
        if (n > kMaxSize) stop(std::string(kPatternMessage) + ": dimension too large");
        col_start.assign(n + 1, 0);
        std::size_t nnz = 0;
        for (std::size_t r = 0; r < n; ++r) {
            for (const std::size_t c : rows.indices(r)) {
                if (c >= n) {
                    stop(std::string(kPatternMessage) + ": block (" + std::to_string(r) + ", " +
                         std::to_string(c) + ") out of bounds for dimension " + std::to_string(n));
                }
                ++col_start[c + 1];
                ++nnz;
            }
        }
        if (nnz > kMaxSize) stop(std::string(kPatternMessage) + ": too many blocks");
        for (std::size_t c = 0; c < n; ++c) col_start[c + 1] += col_start[c];
        row_index.resize(nnz);
        std::vector<Index> fill(col_start.begin(), col_start.end() - 1);
        for (std::size_t r = 0; r < n; ++r) {
            for (const std::size_t c : rows.indices(r)) row_index[fill[c]++] = Index(r);
        }
    } catch (const std::bad_alloc&) {
        stop(std::string(kPatternMessage) + ": out of memory");
    }

    const Index nn = Index(n);
    const Index nnz = Index(row_index.size());
    std::vector<Index> a;
    std::vector<Index> p;
    try {
        a.resize(std::size_t(Eigen::internal::Colamd::recommended(nnz, nn, nn)));
        p.resize(n + 1);
    } catch (const std::bad_alloc&) {
        stop("colamd scratch allocation: out of memory");
    }
    std::copy(row_index.begin(), row_index.end(), a.begin());
    std::copy(col_start.begin(), col_start.end(), p.begin());

    // Rows and columns denser than half the dimension are set aside; absorption is aggressive.
    double knobs[Eigen::internal::Colamd::NKnobs];
    Eigen::internal::Colamd::set_defaults(knobs);
    knobs[Eigen::internal::Colamd::DenseRow] = 0.5;
    knobs[Eigen::internal::Colamd::DenseCol] = 0.5;
    Index stats[Eigen::internal::Colamd::NStats];
    if (!Eigen::internal::Colamd::compute_ordering(nn, nn, Index(a.size()), a.data(), p.data(),
                                                   knobs, stats)) {
        stop(std::string("colamd ordering should always succeed on a valid sparsity pattern: ") +
             colamd_status_name(stats[Eigen::internal::Colamd::Status]));
    }
    // p[j] is the column eliminated at position j.
    return std::vector<std::size_t>(p.begin(), p.begin() + std::ptrdiff_t(n));
}

BlockSymbolic BlockSymbolic::analyze(const BlockAdjacency& adjacency) {
    const std::size_t n = adjacency.n;
    BlockSymbolic sym;
    sym.n = n;
    sym.order = adjacency.colamd_order();

    // The fill is found along rows and kept as column lists, and the factorisation reads the values
    // by columns: the two views agree only for a structurally symmetric pattern.
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::ranges::equal(adjacency.rows.indices(k), adjacency.cols.indices(k))) {
            stop("block pattern is not structurally symmetric: block row " + std::to_string(k) +
                 " and block column " + std::to_string(k) + " differ");
        }
    }

    const std::vector<std::size_t> pos = positions(sym.order, n);

    IndexLists& lower = sym.l_pattern;
    IndexLists& upper = sym.u_pattern;
    lower.start.reserve(n + 1);
    upper.start.reserve(n + 1);
    lower.start.push_back(0);
    upper.start.push_back(0);

    std::vector<std::size_t> mark_row(n, kNone);
    std::vector<std::size_t> mark_reach(n, kNone);
    std::vector<std::size_t> row;    // the positions of row i found so far
    std::vector<std::size_t> stack;  // earlier rows still to follow
    std::vector<std::size_t> reached;
    for (std::size_t i = 0; i < n; ++i) {
        row.clear();
        for (const std::size_t c : adjacency.rows.indices(sym.order[i])) {
            check_index(c, n);
            const std::size_t p = pos[c];
            check_index(p, n);
            if (mark_row[p] != i) {
                mark_row[p] = i;
                row.push_back(p);
            }
        }

        // The earlier rows whose elimination reaches row i: its own positions below i and,
        // transitively, the upper parts of the rows found.
        stack.clear();
        reached.clear();
        for (const std::size_t p : row) {
            if (p < i && mark_reach[p] != i) {
                mark_reach[p] = i;
                stack.push_back(p);
                reached.push_back(p);
            }
        }
        while (!stack.empty()) {
            const std::size_t p = stack.back();
            stack.pop_back();
            for (const std::size_t q : lower[p]) {
                if (q < i && mark_reach[q] != i) {
                    mark_reach[q] = i;
                    stack.push_back(q);
                    reached.push_back(q);
                }
            }
        }

        // Every reached row carries its upper part into row i. The order of the reached rows is
        // immaterial (the lists are sorted below), so they are taken as found rather than by a
        // scan of every earlier position.
        for (const std::size_t q : reached) {
            for (const std::size_t c : lower[q]) {
                if (mark_row[c] != i) {
                    mark_row[c] = i;
                    row.push_back(c);
                }
            }
        }

        const std::size_t lower_begin = lower.index.size();
        const std::size_t upper_begin = upper.index.size();
        for (const std::size_t c : row) (c <= i ? upper.index : lower.index).push_back(c);
        std::sort(lower.index.begin() + std::ptrdiff_t(lower_begin), lower.index.end());
        std::sort(upper.index.begin() + std::ptrdiff_t(upper_begin), upper.index.end());
        lower.start.push_back(lower.index.size());
        upper.start.push_back(upper.index.size());
    }
    return sym;
}

std::optional<BlockLu> BlockLu::refactor(const BlockSymbolic& symbolic,
                                         const BlockAdjacency& adjacency) {
    const std::size_t n = symbolic.n;
    if (adjacency.n != n) {
        stop("block adjacency of dimension " + std::to_string(adjacency.n) +
             " given to an analysis of dimension " + std::to_string(n));
    }
    const std::vector<std::size_t> pos = positions(symbolic.order, n);

    std::vector<Block> work(n, kZeroBlock);
    std::vector<std::size_t> mark(n, kNone);
    BlockLu lu;
    lu.order = symbolic.order;
    lu.n = n;
    BlockLists& lower = lu.l_cols;
    BlockLists& upper = lu.u_cols;
    lower.start.reserve(n + 1);
    upper.start.reserve(n + 1);
    lower.index.reserve(symbolic.l_pattern.index.size());
    lower.block.reserve(symbolic.l_pattern.index.size());
    upper.index.reserve(symbolic.u_pattern.index.size());
    upper.block.reserve(symbolic.u_pattern.index.size());
    lower.start.push_back(0);
    upper.start.push_back(0);

    // Value at position i of the column being made; untouched positions read as zero.
    const auto current = [&](std::size_t i, std::size_t j) {
        return mark[i] == j ? work[i] : kZeroBlock;
    };

    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t source = symbolic.order[j];
        const auto rows = adjacency.cols.indices(source);
        const auto values = adjacency.cols.blocks(source);
        std::size_t touched = 0;  // distinct positions of column j given a value
        for (std::size_t t = 0; t < rows.size(); ++t) {
            check_index(rows[t], n);
            const std::size_t i = pos[rows[t]];
            check_index(i, n);
            if (mark[i] == j) {
                work[i] = add(work[i], values[t]);
            } else {
                work[i] = values[t];
                mark[i] = j;
                ++touched;
            }
        }

        // Ascending k: every update of work[k] comes from a smaller position, so it is final here.
        const auto u_positions = symbolic.u_pattern[j];
        for (const std::size_t k : u_positions) {
            if (k == j) continue;
            check_index(k, n);
            if (k > j) continue;  // a column of L not made yet holds nothing
            const Block x = current(k, j);
            const auto l_rows = lower.indices(k);
            const auto l_values = lower.blocks(k);
            for (std::size_t t = 0; t < l_rows.size(); ++t) {
                const std::size_t i = l_rows[t];
                if (mark[i] == j) {
                    work[i] = sub(work[i], mul(l_values[t], x));
                } else {
                    work[i] = sub(kZeroBlock, mul(l_values[t], x));
                    mark[i] = j;
                    ++touched;
                }
            }
        }

        // A value outside the analysed fill would be dropped without a trace, leaving factors of
        // another matrix: a pattern that differs from the analysed one is refused.
        std::size_t covered = 0;
        for (const std::size_t k : u_positions) covered += mark[k] == j ? 1 : 0;
        for (const std::size_t i : symbolic.l_pattern[j]) {
            check_index(i, n);
            covered += mark[i] == j ? 1 : 0;
        }
        if (covered != touched) {
            stop("block column " + std::to_string(source) +
                 " holds a block outside the pattern it was analysed with");
        }

        const std::optional<Block> pivot_inverse = inverse(current(j, j));
        if (!pivot_inverse) return std::nullopt;

        for (const std::size_t k : u_positions) {
            upper.index.push_back(k);
            upper.block.push_back(current(k, j));
        }
        upper.start.push_back(upper.index.size());
        for (const std::size_t i : symbolic.l_pattern[j]) {
            lower.index.push_back(i);
            lower.block.push_back(mul(current(i, j), *pivot_inverse));
        }
        lower.start.push_back(lower.index.size());
    }
    return lu;
}

std::vector<BlockVector> BlockLu::solve(std::span<const BlockVector> rhs) const {
    if (rhs.size() != n) {
        stop("right-hand side holds " + std::to_string(rhs.size()) + " block vectors but " +
             std::to_string(n) + " are required");
    }
    std::vector<BlockVector> y(n);
    for (std::size_t k = 0; k < n; ++k) {
        check_index(k, order.size());
        check_index(order[k], rhs.size());
        y[k] = rhs[order[k]];
    }

    for (std::size_t k = 0; k < n; ++k) {
        const BlockVector yk = y[k];
        const auto rows = l_cols.indices(k);
        const auto values = l_cols.blocks(k);
        for (std::size_t t = 0; t < rows.size(); ++t) {
            check_index(rows[t], n);
            y[rows[t]] = sub(y[rows[t]], mul(values[t], yk));
        }
    }

    for (std::size_t j = n; j-- > 0;) {
        const auto rows = u_cols.indices(j);
        const auto values = u_cols.blocks(j);
        if (rows.empty() || rows.back() != j) {
            stop("factorize() always records the diagonal entry for column j");
        }
        const std::optional<Block> pivot_inverse = inverse(values.back());
        if (!pivot_inverse) stop("diagonal was already validated non-singular during factorize()");
        y[j] = mul(*pivot_inverse, y[j]);
        const BlockVector yj = y[j];
        for (std::size_t t = 0; t < rows.size(); ++t) {
            if (rows[t] < j) y[rows[t]] = sub(y[rows[t]], mul(values[t], yj));
        }
    }

    std::vector<BlockVector> x(n, BlockVector{0.0, 0.0});
    for (std::size_t k = 0; k < n; ++k) x[order[k]] = y[k];  // order[k] < n, checked above
    return x;
}

}  // namespace quillmere
