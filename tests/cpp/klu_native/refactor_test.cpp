#include <gtest/gtest.h>

#include <vector>

#include "klu_native/kernel.hpp"
#include "klu_native/marked_index.hpp"
#include "klu_native/refactor.hpp"

namespace quillmere::klu_native {
namespace {

using Column = std::vector<GatheredEntry>;
using Sink = std::vector<std::vector<FactorEntry>>;

// A dense 3x3 block whose diagonal is always acceptable, so pivot positions equal local rows.
BlockFactor dense_block() {
    const std::vector<Column> cols = {
        {{0, 4.0}, {1, 1.0}, {2, 2.0}},
        {{0, 1.0}, {1, 5.0}, {2, 1.0}},
        {{0, 2.0}, {1, 1.0}, {2, 6.0}},
    };
    Sink sink(3);
    auto f = factor_block(3, cols, 0.001, sink);
    EXPECT_TRUE(f);
    EXPECT_EQ(f->perm, (std::vector<std::size_t>{0, 1, 2}));
    return *f;
}

// The work column is shared by every block of every call, so it must be all zero on every exit,
// a failing one included: a stale multiplier would otherwise start a later fill-in entry.
TEST(RefactorBlock, WorkColumnIsZeroOnEveryExit) {
    struct Case {
        const char* name;
        std::vector<Column> cols;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"regular",
         {{{0, 2.0}, {1, 1.0}, {2, 1.0}},
          {{0, 1.0}, {1, 3.0}, {2, 1.0}},
          {{0, 1.0}, {1, 1.0}, {2, 4.0}}},
         true},
        {"zero pivot in the first column",
         {{{0, 0.0}, {1, 5.0}, {2, 3.0}},
          {{0, 1.0}, {1, 3.0}, {2, 1.0}},
          {{0, 1.0}, {1, 1.0}, {2, 4.0}}},
         false},
        // l = (1, 3); column 1: 2 - 2 * 1 = 0 leaves 7 - 2 * 3 = 1 below the zero pivot.
        {"zero pivot in the middle column",
         {{{0, 1.0}, {1, 1.0}, {2, 3.0}},
          {{0, 2.0}, {1, 2.0}, {2, 7.0}},
          {{0, 1.0}, {1, 1.0}, {2, 4.0}}},
         false},
    };
    for (const Case& c : cases) {
        BlockFactor f = dense_block();
        std::vector<double> x(5, 0.0);
        Sink sink(3);
        EXPECT_EQ(refactor_block_in_place(3, f, x, c.cols, sink), c.ok) << c.name;
        EXPECT_EQ(x, std::vector<double>(5, 0.0)) << c.name;
    }
}

TEST(RefactorBlock, NewValuesAlongTheStoredOrder) {
    BlockFactor f = dense_block();
    const std::vector<Column> cols = {
        {{0, 2.0}, {1, 1.0}, {flip(9), 7.0}, {2, 4.0}},
        {{0, 1.0}, {1, 3.0}, {2, 1.0}},
        {{0, 1.0}, {1, 1.0}, {2, 4.0}},
    };
    std::vector<double> x(3, 0.0);
    Sink sink(3);
    ASSERT_TRUE(refactor_block_in_place(3, f, x, cols, sink));
    EXPECT_EQ(f.udiag[0], 2.0);
    EXPECT_EQ(f.l[0][0].value, 0.5);
    EXPECT_EQ(f.udiag[1], 3.0 - 1.0 * 0.5);
    ASSERT_EQ(sink[0].size(), 1u);
    EXPECT_EQ(sink[0][0].row, 9u);
    EXPECT_EQ(sink[0][0].value, 7.0);
    EXPECT_TRUE(sink[1].empty());
}

}  // namespace
}  // namespace quillmere::klu_native
