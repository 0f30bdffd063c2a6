#include "klu_native/pattern_check.hpp"

#include "stop.hpp"

namespace quillmere::klu_native {

void check_pattern(std::size_t nrow, std::size_t ncol, std::span<const std::size_t> ap,
                   std::span<const std::size_t> ai) {
    check_len(ap.size(), ncol + 1, "column pointers");
    for (std::size_t j = 0; j < ncol; ++j) {
        if (ap[j] >= ap[j + 1]) continue;
        check_index(ap[j + 1] - 1, ai.size());
        for (std::size_t p = ap[j]; p < ap[j + 1]; ++p) check_index(ai[p], nrow);
    }
}

}  // namespace quillmere::klu_native
