#pragma once
// One stamp of a sparse matrix under construction: a position and a value. Shared by every layer
// that builds matrices, without pulling in a linear-algebra library.

#include <cstddef>

namespace quillmere {

template <class T>
struct Triplet {
    std::size_t row = 0;
    std::size_t col = 0;
    T value{};
};

}  // namespace quillmere
