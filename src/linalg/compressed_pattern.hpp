#pragma once
// The compressed-column pattern of a list of triplet positions, and for every triplet the stored
// entry its value lands in. Built once per pattern; every later set of triplet values is moved into
// the compressed storage by one pass over the triplets, with no search and no allocation.
//
// Summation rule, shared by every matrix built this way: an entry's value is -0.0 plus the values
// of its triplets in ascending triplet order. Adding to -0.0 changes nothing, so a position that
// only one triplet stamps keeps that value bit for bit, the sign of a zero included.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "common/stop.hpp"
#include "common/triplet.hpp"

namespace quillmere {

struct CompressedPattern {
    std::uint32_t n = 0;
    std::vector<std::uint32_t> col_ptr;  // n + 1 offsets into row_idx; col_ptr[0] = 0
    std::vector<std::uint32_t> row_idx;  // rows strictly ascending within each column
    std::vector<std::uint32_t> slot;     // per triplet, in triplet order: its entry in row_idx

    std::size_t entries() const { return row_idx.size(); }

    // out[e] = the sum of entry e by the rule above. Stops when `values` does not hold one value
    // per triplet or `out` one per entry.
    template <class T>
    void scatter(std::span<const T> values, std::span<T> out) const {
        if (values.size() != slot.size() || out.size() != row_idx.size()) {
            stop("scattering " + std::to_string(values.size()) + " values into " +
                 std::to_string(out.size()) + " entries of a pattern with " +
                 std::to_string(slot.size()) + " triplets and " + std::to_string(row_idx.size()) +
                 " entries");
        }
        for (T& v : out) v = T(-0.0);
        const std::uint32_t* s = slot.data();
        for (std::size_t k = 0; k < values.size(); ++k) out[s[k]] += values[k];
    }
};

// The largest dimension or triplet count a CompressedPattern holds.
inline constexpr std::size_t kMaxCompressedIndex = std::numeric_limits<std::uint32_t>::max() - 1;

// The pattern of the given positions (rows[k], cols[k]). Absent when n or the triplet count
// exceeds kMaxCompressedIndex; stops on a row or column of n or more, or on lists of different
// lengths. An allocation failure leaves as std::bad_alloc.
std::optional<CompressedPattern> compress_pattern(std::size_t n, std::span<const std::size_t> rows,
                                                  std::span<const std::size_t> cols);

// The same for the positions of a triplet list; only rows and columns are read.
template <class T>
std::optional<CompressedPattern> compress_pattern(std::size_t n,
                                                  std::span<const Triplet<T>> triplets) {
    if (triplets.size() > kMaxCompressedIndex) return std::nullopt;
    std::vector<std::size_t> rows(triplets.size());
    std::vector<std::size_t> cols(triplets.size());
    for (std::size_t k = 0; k < triplets.size(); ++k) {
        rows[k] = triplets[k].row;
        cols[k] = triplets[k].col;
    }
    return compress_pattern(n, rows, cols);
}

}  // namespace quillmere
