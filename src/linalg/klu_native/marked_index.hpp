#pragma once
// Marked indices: a signed index below -1 carries flip(i) = -2 - i, so that -1 stays free for
// "none" and a marked entry can always be told apart from a plain one.

#include <cstdint>

namespace quillmere::klu_native {

constexpr std::int32_t flip(std::int32_t i) {
    return -2 - i;
}

constexpr std::int32_t unflip(std::int32_t x) {
    return x < -1 ? -2 - x : x;
}

}  // namespace quillmere::klu_native
