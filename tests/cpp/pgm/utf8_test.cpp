// The loader's UTF-8 check agrees with simdjson's on edge sequences and on random byte strings
// biased towards the bytes that matter (lead bytes, continuations, ASCII runs of every length).

#include "pgm/utf8.hpp"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <random>
#include <string>

namespace quillmere::pgm {
namespace {

bool reference(const std::string& s) {
    return simdjson::validate_utf8(s.data(), s.size());
}

TEST(Utf8, AgreesWithSimdjsonOnEdgesAndRandomBytes) {
    const std::string edges[] = {"",
                                 "plain ascii text",
                                 "\xC2\x80",
                                 "\xC1\xBF" /* overlong */,
                                 "\xDF\xBF",
                                 "\xE0\x9F\xBF",
                                 "\xE0\xA0\x80",
                                 "\xED\x9F\xBF",
                                 "\xED\xA0\x80" /* surrogate */,
                                 "\xEF\xBF\xBF",
                                 "\xF0\x8F\xBF\xBF",
                                 "\xF0\x90\x80\x80",
                                 "\xF4\x8F\xBF\xBF",
                                 "\xF4\x90\x80\x80" /* > U+10FFFF */,
                                 "\xF5\x80\x80\x80",
                                 "\xFF",
                                 "\x80",
                                 "abcdefg\xE2\x82",
                                 "abcdefgh\xE2\x82\xAC",
                                 "\xE2\x82\xAC"
                                 "abcdefghij"};
    for (const std::string& s : edges) EXPECT_EQ(is_valid_utf8(s), reference(s)) << s;

    const unsigned char palette[] = {'a',  '{',  0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                     0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    std::mt19937_64 rng(7);
    std::size_t valid = 0;
    for (int n = 0; n < 20000; ++n) {
        std::string s(rng() % 24, 'x');
        for (char& c : s) {
            c = static_cast<char>(rng() % 3 == 0 ? palette[rng() % std::size(palette)] : 'x');
        }
        const bool expected = reference(s);
        valid += expected;
        ASSERT_EQ(is_valid_utf8(s), expected) << testing::PrintToString(s);
    }
    EXPECT_GT(valid, 1000u);
}

}  // namespace
}  // namespace quillmere::pgm
