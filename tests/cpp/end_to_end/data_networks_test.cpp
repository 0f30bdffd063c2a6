// The realistic networks under $QM_DATA_DIR/networks load with their bus counts. Their solves are
// checked, on every backend, by the backend agreement test.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "pgm/load.hpp"

namespace quillmere {
namespace {

TEST(DataNetworks, LoadWithTheirBusCounts) {
    const char* root = std::getenv("QM_DATA_DIR");
    if (root == nullptr) GTEST_SKIP() << "QM_DATA_DIR is not set";
    // 0: the PEGASE cases write unlimited reactive limits as the bare literals -Infinity and
    // Infinity, which JSON does not have; they are refused like any malformed number.
    const std::pair<const char*, std::size_t> networks[] = {{"case1354pegase.json", 0},
                                                            {"case9241pegase.json", 0},
                                                            {"case_ACTIVSg10k.json", 10001},
                                                            {"dist_12k.json", 11846},
                                                            {"dist_60k.json", 59177}};
    for (const auto& [file, buses] : networks) {
        const std::string path = (std::filesystem::path(root) / "networks" / file).string();
        const auto loaded = pgm::load_network(path, 1e6, 50.0);
        if (buses == 0) {
            EXPECT_TRUE(std::get<pgm::LoadError>(loaded).message.starts_with(
                "parsing " + path + " as PGM JSON: invalid number at line 1 column "));
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<pgm::LoadedNetwork>(loaded))
            << std::get<pgm::LoadError>(loaded).message;
        EXPECT_EQ(std::get<pgm::LoadedNetwork>(loaded).ybus.n, buses) << file;
    }
}

}  // namespace
}  // namespace quillmere
