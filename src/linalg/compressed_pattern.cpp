#include "linalg/compressed_pattern.hpp"

#include <string>

namespace quillmere {
namespace {

// Stable counting sort of `in` by key(t) < n.
template <class Key>
std::vector<std::uint32_t> stable_bucket(std::size_t n, const std::vector<std::uint32_t>& in,
                                         Key key) {
    std::vector<std::uint32_t> start(n + 1, 0);
    for (std::uint32_t t : in) ++start[key(t) + 1];
    for (std::size_t i = 0; i < n; ++i) start[i + 1] += start[i];
    std::vector<std::uint32_t> out(in.size());
    for (std::uint32_t t : in) out[start[key(t)]++] = t;
    return out;
}

}  // namespace

std::optional<CompressedPattern> compress_pattern(std::size_t n, std::span<const std::size_t> rows,
                                                  std::span<const std::size_t> cols) {
    if (rows.size() != cols.size()) {
        stop("a pattern of " + std::to_string(rows.size()) + " rows and " +
             std::to_string(cols.size()) + " columns");
    }
    for (std::size_t k = 0; k < rows.size(); ++k) {
        check_index(rows[k], n);
        check_index(cols[k], n);
    }
    if (n > kMaxCompressedIndex || rows.size() > kMaxCompressedIndex) return std::nullopt;
    const std::size_t count = rows.size();
    std::vector<std::uint32_t> order(count);
    for (std::size_t k = 0; k < count; ++k) order[k] = static_cast<std::uint32_t>(k);
    // By row, then stably by column: (column, row) order, the triplets of one position in
    // ascending triplet order.
    order = stable_bucket(n, order, [&](std::uint32_t t) { return rows[t]; });
    order = stable_bucket(n, order, [&](std::uint32_t t) { return cols[t]; });

    CompressedPattern p;
    p.n = static_cast<std::uint32_t>(n);
    p.col_ptr.assign(n + 1, 0);
    p.row_idx.reserve(count);
    p.slot.assign(count, 0);
    for (std::size_t s = 0; s < count; ++s) {
        const std::uint32_t t = order[s];
        const bool repeat = s > 0 && rows[order[s - 1]] == rows[t] && cols[order[s - 1]] == cols[t];
        if (!repeat) {
            p.row_idx.push_back(static_cast<std::uint32_t>(rows[t]));
            ++p.col_ptr[cols[t] + 1];
        }
        p.slot[t] = static_cast<std::uint32_t>(p.row_idx.size() - 1);
    }
    for (std::size_t j = 0; j < n; ++j) p.col_ptr[j + 1] += p.col_ptr[j];
    return p;
}

}  // namespace quillmere
