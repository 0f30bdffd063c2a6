#include "linalg/colamd_order.hpp"

#include <Eigen/OrderingMethods>
#include <algorithm>
#include <string>

#include "common/stop.hpp"

// Eigen keeps its COLAMD in Eigen::internal: this file is its one user, so that another Eigen
// version is checked here and nowhere else. Checked against Eigen 3.4.0.
static_assert(EIGEN_WORLD_VERSION == 3 && EIGEN_MAJOR_VERSION == 4,
              "colamd_order is checked against Eigen 3.4 only");

namespace quillmere {
namespace {

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

std::vector<std::uint32_t> colamd_order(const CompressedPattern& a) {
    using Index = std::int64_t;
    namespace C = Eigen::internal::Colamd;
    const Index n = Index(a.n);
    const Index nnz = Index(a.row_idx.size());
    std::vector<Index> work(std::size_t(C::recommended(nnz, n, n)));
    std::vector<Index> p(a.col_ptr.size());
    std::copy(a.row_idx.begin(), a.row_idx.end(), work.begin());
    std::copy(a.col_ptr.begin(), a.col_ptr.end(), p.begin());

    // Rows and columns denser than half the dimension are set aside; absorption is aggressive.
    double knobs[C::NKnobs];
    C::set_defaults(knobs);
    knobs[C::DenseRow] = 0.5;
    knobs[C::DenseCol] = 0.5;
    Index stats[C::NStats];
    if (!C::compute_ordering(n, n, Index(work.size()), work.data(), p.data(), knobs, stats)) {
        stop(std::string("colamd ordering should always succeed on a valid sparsity pattern: ") +
             colamd_status_name(stats[C::Status]));
    }
    // p[j] is the column eliminated at position j.
    return std::vector<std::uint32_t>(p.begin(), p.begin() + n);
}

}  // namespace quillmere
