#include "linalg/klu_native/amd/amd.hpp"

#include <limits>
#include <type_traits>

#include "common/stop.hpp"
#include "linalg/klu_native/amd/aat.hpp"
#include "linalg/klu_native/amd/core.hpp"

namespace quillmere::klu_native::amd {
namespace {

template <class I>
bool valid_pattern(std::size_t n, std::span<const I> ap, std::span<const I> ai) {
    using Signed = std::make_signed_t<I>;
    auto as_signed = [](I x) { return static_cast<Signed>(x); };
    if (ap.empty() || ap[0] != 0) return false;
    check_index(n, ap.size());
    if (as_signed(ap[n]) < 0) return false;
    for (std::size_t j = 0; j < n; ++j) {
        if (as_signed(ap[j]) > as_signed(ap[j + 1])) return false;
        if (ap[j] == ap[j + 1]) continue;
        check_index(static_cast<std::size_t>(ap[j + 1]) - 1, ai.size());
        Signed prev = -1;
        for (std::size_t p = ap[j]; p < ap[j + 1]; ++p) {
            const I i = ai[p];
            if (i >= n || as_signed(i) <= prev) return false;
            prev = as_signed(i);
        }
    }
    return true;
}

}  // namespace

bool amd_fits(std::size_t n, std::size_t nnz) {
    constexpr std::size_t limit = std::numeric_limits<std::int32_t>::max();
    return n <= limit && nnz <= limit / 3 && n + 2 * nnz + 2 * nnz / 5 <= limit;
}

std::optional<std::vector<std::uint32_t>> amd_order(std::size_t n,
                                                    std::span<const std::uint32_t> ap,
                                                    std::span<const std::uint32_t> ai) {
    if (n == 0) return std::vector<std::uint32_t>{};
    if (!valid_pattern(n, ap, ai) || !amd_fits(n, ap[n])) return std::nullopt;
    const std::vector<std::int32_t> perm = amd_2(n, build_symmetric_lists(n, ap, ai));
    return std::vector<std::uint32_t>(perm.begin(), perm.end());
}

std::optional<std::vector<std::size_t>> amd_order(std::size_t n, std::span<const std::size_t> ap,
                                                  std::span<const std::size_t> ai) {
    if (n == 0) return std::vector<std::size_t>{};
    if (!valid_pattern(n, ap, ai) || !amd_fits(n, ap[n])) return std::nullopt;
    const std::vector<std::uint32_t> ap32(ap.begin(),
                                          ap.begin() + static_cast<std::ptrdiff_t>(n + 1));
    const std::vector<std::uint32_t> ai32(ai.begin(),
                                          ai.begin() + static_cast<std::ptrdiff_t>(ap[n]));
    const std::vector<std::int32_t> perm = amd_2(n, build_symmetric_lists(n, ap32, ai32));
    return std::vector<std::size_t>(perm.begin(), perm.end());
}

}  // namespace quillmere::klu_native::amd
