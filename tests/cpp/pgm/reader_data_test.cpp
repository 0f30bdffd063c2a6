// The bundled networks, written by other tools. Three are plain JSON and are read; the two PEGASE
// cases write unlimited reactive limits as the non-JSON literals -Infinity and Infinity, and are
// refused at the first of them like any other malformed number.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <variant>

#include "pgm/reader.hpp"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string data_dir() {
    const char* dir = std::getenv("QM_DATA_DIR");
    return dir == nullptr ? std::string() : std::string(dir) + "/networks/";
}

TEST(PgmReaderData, PlainJsonNetworksAreRead) {
    if (data_dir().empty()) GTEST_SKIP() << "QM_DATA_DIR not set";
    for (const char* name : {"case_ACTIVSg10k.json", "dist_12k.json", "dist_60k.json"}) {
        const std::string text = read_file(data_dir() + name);
        ASSERT_FALSE(text.empty()) << name;
        const auto result = quillmere::pgm::parse_pgm_json(text);
        if (const auto* message = std::get_if<std::string>(&result)) {
            ADD_FAILURE() << name << ": " << *message;
            continue;
        }
        const auto& data = std::get<quillmere::pgm::PgmInput>(result).data;
        EXPECT_FALSE(data.node.empty()) << name;
        EXPECT_FALSE(data.source.empty()) << name;
    }
}

TEST(PgmReaderData, InfinityLiteralsAreRefused) {
    if (data_dir().empty()) GTEST_SKIP() << "QM_DATA_DIR not set";
    for (const char* name : {"case1354pegase.json", "case9241pegase.json"}) {
        const std::string text = read_file(data_dir() + name);
        const std::size_t first = text.find("-Infinity");
        ASSERT_NE(first, std::string::npos) << name;
        ASSERT_EQ(text.find('\n'), std::string::npos) << name << " is no longer one line";
        const auto result = quillmere::pgm::parse_pgm_json(text);
        ASSERT_TRUE(std::holds_alternative<std::string>(result)) << name;
        // The `I` after the minus sign is where the number goes wrong.
        EXPECT_EQ(std::get<std::string>(result),
                  "invalid number at line 1 column " + std::to_string(first + 2));
    }
}

}  // namespace
