#include "klu_native/amd/amd.hpp"

#include <cstdint>

#include "klu_native/amd/aat.hpp"
#include "klu_native/amd/core.hpp"
#include "stop.hpp"

namespace quillmere::klu_native::amd {
namespace {

std::int64_t as_signed(std::size_t x) {
    return static_cast<std::int64_t>(x);
}

bool valid_pattern(std::size_t n, std::span<const std::size_t> ap,
                   std::span<const std::size_t> ai) {
    if (ap.empty() || ap[0] != 0) return false;
    check_index(n, ap.size());
    if (as_signed(ap[n]) < 0) return false;
    for (std::size_t j = 0; j < n; ++j) {
        if (as_signed(ap[j]) > as_signed(ap[j + 1])) return false;
        if (ap[j] == ap[j + 1]) continue;
        check_index(ap[j + 1] - 1, ai.size());
        std::int64_t prev = -1;
        for (std::size_t p = ap[j]; p < ap[j + 1]; ++p) {
            const std::size_t i = ai[p];
            if (i >= n || as_signed(i) <= prev) return false;
            prev = as_signed(i);
        }
    }
    return true;
}

}  // namespace

std::optional<std::vector<std::size_t>> amd_order(std::size_t n, std::span<const std::size_t> ap,
                                                  std::span<const std::size_t> ai) {
    if (n == 0) return std::vector<std::size_t>{};
    if (!valid_pattern(n, ap, ai)) return std::nullopt;
    return amd_2(n, build_symmetric_lists(n, ap, ai)).amd_perm;
}

}  // namespace quillmere::klu_native::amd
