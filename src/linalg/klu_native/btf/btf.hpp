#pragma once
// Block triangular form of a square pattern: a maximum transversal, completed to a full pairing
// when the pattern is structurally singular, then the strongly connected components; the form KLU
// factors block by block: T. A. Davis and E. Palamadai Natarajan, "Algorithm 907: KLU, a direct
// sparse solver for circuit simulation problems", ACM Trans. Math. Softw. 37(3), 2010.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillmere::klu_native::btf {

struct BtfOrder {
    std::vector<std::uint32_t> p;  // row order
    std::vector<std::int32_t> q;   // column per position; flip(column) where a row was unmatched
    std::vector<std::uint32_t> r;  // block boundaries, nblocks+1 entries
    std::size_t nmatch = 0;        // size of the maximum matching
};

// Unmatched rows are paired with unmatched columns in increasing order of both; their columns
// carry the flip mark in q. n below 2^31; stops on a pattern out of bounds.
BtfOrder btf_order(std::size_t n, std::span<const std::uint32_t> ap,
                   std::span<const std::uint32_t> ai);

}  // namespace quillmere::klu_native::btf
