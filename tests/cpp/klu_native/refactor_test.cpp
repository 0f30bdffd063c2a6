#include <gtest/gtest.h>

#include <vector>

#include "klu_native/kernel.hpp"
#include "klu_native/refactor.hpp"

namespace quillmere::klu_native {
namespace {

using Columns = std::vector<std::vector<GatheredEntry>>;

// One work column serves every block of every call, so it must be all zero on every exit, a
// failing one included: a stale multiplier would otherwise start a later fill-in entry.
TEST(RefactorBlock, WorkColumnIsZeroOnEveryExit) {
    // Dominant diagonal: pivot positions equal local rows.
    const Columns first = {{{0, 4.0}, {1, 1.0}, {2, 2.0}},
                           {{0, 1.0}, {1, 5.0}, {2, 1.0}},
                           {{0, 2.0}, {1, 1.0}, {2, 6.0}}};
    const std::vector<double> col2 = {1.0, 1.0, 4.0};
    struct Case {
        const char* name;
        std::vector<double> col0, col1;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"regular", {2.0, 1.0, 1.0}, {1.0, 3.0, 1.0}, true},
        {"zero pivot in the first column", {0.0, 5.0, 3.0}, {1.0, 3.0, 1.0}, false},
        // l = (1, 3); column 1: 2 - 2 * 1 = 0 leaves 7 - 2 * 3 = 1 below the zero pivot.
        {"zero pivot in the middle column", {1.0, 1.0, 3.0}, {2.0, 2.0, 7.0}, false},
    };
    for (const Case& c : cases) {
        std::vector<std::vector<FactorEntry>> sink(3);
        auto f = factor_block(3, first, 0.001, sink);
        ASSERT_TRUE(f);
        ASSERT_EQ(f->perm, (std::vector<std::size_t>{0, 1, 2}));
        Columns cols(3);
        for (std::int64_t i = 0; i < 3; ++i) {
            cols[0].push_back({i, c.col0[i]});
            cols[1].push_back({i, c.col1[i]});
            cols[2].push_back({i, col2[i]});
        }
        std::vector<double> x(5, 0.0);
        EXPECT_EQ(refactor_block_in_place(3, *f, x, cols, sink), c.ok) << c.name;
        EXPECT_EQ(x, std::vector<double>(5, 0.0)) << c.name;
    }
}

}  // namespace
}  // namespace quillmere::klu_native
