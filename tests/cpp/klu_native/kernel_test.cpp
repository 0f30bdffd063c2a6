#include <gtest/gtest.h>

#include <vector>

#include "klu_native/kernel.hpp"
#include "klu_native/refactor.hpp"

namespace quillmere::klu_native {
namespace {

// One work column serves every block of every call, so it must be all zero on every exit, a
// failing one included: a stale multiplier would otherwise start a later fill-in entry.
TEST(RefactorBlock, WorkColumnIsZeroOnEveryExit) {
    using Columns = std::vector<std::vector<GatheredEntry>>;
    // Dominant diagonal: pivot positions equal local rows. Each case replaces the first two
    // columns; in the last, l = (1, 3) and column 1 gets 2 - 2 * 1 = 0 as its pivot, with
    // 7 - 2 * 3 = 1 below it.
    const Columns first = {{{0, 4.0}, {1, 1.0}, {2, 2.0}},
                           {{0, 1.0}, {1, 5.0}, {2, 1.0}},
                           {{0, 2.0}, {1, 1.0}, {2, 6.0}}};
    const std::vector<std::pair<Columns, bool>> cases = {
        {{{{0, 2.0}, {1, 1.0}, {2, 1.0}}, {{0, 1.0}, {1, 3.0}, {2, 1.0}}}, true},
        {{{{0, 0.0}, {1, 5.0}, {2, 3.0}}, {{0, 1.0}, {1, 3.0}, {2, 1.0}}}, false},
        {{{{0, 1.0}, {1, 1.0}, {2, 3.0}}, {{0, 2.0}, {1, 2.0}, {2, 7.0}}}, false},
    };
    for (auto [cols, ok] : cases) {
        std::vector<std::vector<FactorEntry>> sink(3);
        auto f = factor_block(3, first, 0.001, sink);
        ASSERT_TRUE(f);
        ASSERT_EQ(f->perm, (std::vector<std::size_t>{0, 1, 2}));
        cols.push_back(first[2]);
        std::vector<double> x(5, 0.0);
        EXPECT_EQ(refactor_block_in_place(3, *f, x, cols, sink), ok);
        EXPECT_EQ(x, std::vector<double>(5, 0.0)) << ok;
    }
}

}  // namespace
}  // namespace quillmere::klu_native
