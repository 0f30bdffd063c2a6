// Seeded mutations of a valid document: every variant is either read or refused with exactly one
// positioned message, and reading it never crashes or reads outside the text.

#include <gtest/gtest.h>
#include <simdjson.h>

#include <algorithm>
#include <random>
#include <regex>
#include <string>
#include <variant>
#include <vector>

#include "pgm/reader.hpp"
#include "pgm/sample_document.hpp"

namespace {

using quillmere::pgm::parse_pgm_json;

const char* const kReplacements[] = {
    "null", "true", "false",    R"("s")",    "[]", "{}",      R"({"a":[null]})",      "1.5",
    "-1",   "256",  "-0",       "1e999",     "01", "[1,2,3]", "18446744073709551616", "tru",
    "[1,]", "\"",   R"("\u12)", R"({"a" 1})"};

// Byte offsets where a key starts, or where a value that is not a string starts (the first
// non-blank byte after `:`, `,` or `[`).
std::vector<std::size_t> starts(const std::string& text, bool is_key) {
    std::vector<std::size_t> found;
    for (std::size_t i = 1; i < text.size(); ++i) {
        const char before = text[i - 1];
        if (is_key ? text[i] == '"' && (before == '{' || before == ' ')
                   : before == ':' || before == ',' || before == '[') {
            const std::size_t j = is_key ? i : text.find_first_not_of(" \n", i);
            if (j != std::string::npos && (is_key || text[j] != '"')) found.push_back(j);
        }
    }
    return found;
}

// The end of the scalar or bracketed value starting at `start` (roughly: enough for mutations).
std::size_t value_end(const std::string& text, std::size_t start) {
    int depth = 0;
    for (std::size_t i = start; i < text.size(); ++i) {
        if (text[i] == '[' || text[i] == '{') ++depth;
        // A closing bracket at depth 0 belongs to the enclosing list; at depth 1 it ends the value.
        if ((text[i] == ']' || text[i] == '}') && depth-- <= 1) return i + (depth == 0);
        if (depth == 0 && text[i] == ',') return i;
    }
    return text.size();
}

// A byte deleted, a prefix cut, a key given twice, a value replaced by one of another JSON type,
// or a value wrapped in deep nesting.
std::string mutate(std::string text, std::mt19937_64& rng) {
    const auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    const std::size_t kind = pick(5);
    const auto found = starts(text, kind == 2);
    const std::size_t s = found[pick(found.size())];
    const std::size_t e = value_end(text, kind == 2 ? text.find(':', s) + 1 : s);
    if (kind == 0) return text.erase(pick(text.size()), 1);
    if (kind == 1) return text.substr(0, pick(text.size()));
    if (kind == 2) return text.insert(s, text.substr(s, e - s) + ", ");
    if (kind == 3) return text.replace(s, e - s, kReplacements[pick(std::size(kReplacements))]);
    const std::size_t depth = 100 + pick(40);
    const bool object = pick(2) == 0;
    text.insert(e, std::string(depth, object ? '}' : ']'));
    for (std::size_t i = 0; i < depth; ++i) text.insert(s, object ? "{\"k\":" : "[");
    return text;
}

// Whether simdjson's fully validating DOM parser finds the text malformed as JSON. Only its
// syntax verdicts count: it also refuses numbers beyond the double range and unpaired surrogate
// escapes, which are well-formed JSON and may stand in ignored values.
bool malformed_json(const std::string& text) {
    using namespace simdjson;
    static dom::parser parser;
    dom::element root;
    const error_code syntax[] = {
        TAPE_ERROR,   UNCLOSED_STRING, UNESCAPED_CHARS, T_ATOM_ERROR,
        F_ATOM_ERROR, N_ATOM_ERROR,    EMPTY,           INCOMPLETE_ARRAY_OR_OBJECT};
    return std::ranges::count(syntax, parser.parse(padded_string(text)).get(root)) > 0;
}

TEST(PgmReaderMutation, EveryVariantIsReadOrRefusedWithOneMessage) {
    ASSERT_TRUE(std::holds_alternative<quillmere::pgm::PgmInput>(parse_pgm_json(kSampleDocument)));
    static const std::regex form(R"(^(.+) at line ([0-9]+) column ([0-9]+)$)");
    std::mt19937_64 rng(20261206);
    std::size_t accepted = 0, too_deep = 0, duplicated = 0;
    for (int n = 0; n < 4000; ++n) {
        const std::string text = mutate(kSampleDocument, rng);
        // An exact-size copy, so that any read past the end is caught by the sanitizers.
        const std::vector<char> exact(text.begin(), text.end());
        const auto result = parse_pgm_json(std::string_view(exact.data(), exact.size()));
        const auto* message = std::get_if<std::string>(&result);
        if (message == nullptr) {
            ++accepted;
            EXPECT_FALSE(malformed_json(text)) << "accepted malformed JSON:\n" << text;
            continue;
        }
        too_deep += message->starts_with("recursion limit exceeded");
        duplicated += message->starts_with("duplicate field");
        EXPECT_EQ(std::get<std::string>(parse_pgm_json(text)), *message);
        // One message whose point lies on an existing line, at most just past its end.
        std::smatch m;
        ASSERT_TRUE(std::regex_match(*message, m, form)) << *message;
        EXPECT_EQ(m[1].str().find(" at line "), std::string::npos) << *message;
        std::vector<std::size_t> lengths{0};
        for (char c : text) c == '\n' ? lengths.push_back(0) : void(++lengths.back());
        const std::size_t line = std::stoul(m[2].str()), column = std::stoul(m[3].str());
        ASSERT_TRUE(line >= 1 && line <= lengths.size()) << *message;
        EXPECT_LE(column, lengths[line - 1] + 1) << *message;
    }
    EXPECT_GT(accepted, 100u);
    EXPECT_GT(4000 - accepted, 1000u);
    EXPECT_GT(too_deep, 0u);
    EXPECT_GT(duplicated, 0u);
}

}  // namespace
