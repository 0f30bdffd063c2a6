#pragma once
// Maximum transversal: a column matching that puts as many entries on the diagonal as the
// structure allows (depth-first augmenting paths with a cheap-assignment pass, no work limit).
// I. S. Duff, "On algorithms for obtaining a maximum transversal", ACM Trans. Math. Softw. 7(3),
// 1981.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillmere::klu_native::btf {

struct Matching {
    std::vector<std::int32_t> match;  // per row, the column matched to it, or -1
    std::size_t nmatch = 0;           // number of matched columns
};

// Pattern: ncol+1 column pointers and row indices below nrow (stops otherwise); nrow and ncol below
// 2^31. Always finds a maximum matching; iterative, so long augmenting paths are fine.
Matching maxtrans(std::size_t nrow, std::size_t ncol, std::span<const std::uint32_t> ap,
                  std::span<const std::uint32_t> ai);

}  // namespace quillmere::klu_native::btf
