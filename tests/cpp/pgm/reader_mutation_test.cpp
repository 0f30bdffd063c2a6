// Seeded mutations of a valid document: every variant is either read or refused with exactly one
// positioned message, and reading it never crashes or reads outside the text.

#include <gtest/gtest.h>
#include <simdjson.h>

#include <algorithm>
#include <random>
#include <ranges>
#include <regex>
#include <string>
#include <variant>
#include <vector>

#include "pgm/reader.hpp"

namespace {

using quillmere::pgm::parse_pgm_json;
using quillmere::pgm::PgmInput;

const std::string kBase = R"({"version": "1.0", "data": {
  "node": [{"id": 1, "u_rated": 10500.0}, [2, 400], {"id": 3, "u_rated": 4e2, "x": [{}]}],
  "line": [{"id": 10, "from_node": 1, "to_node": 2, "from_status": 1, "to_status": 1, "r1": 0.1,
    "x1": 0.2, "c1": 1e-9, "r0": 0, "x0": 0, "c0": 0}],
  "source": [[20, 1, 1, 1.0, 1e9, 0.1]],
  "sym_load": [{"id": 30, "node": 2, "status": 1, "type": 0, "p_specified": -1.5e3,
    "q_specified": 200}],
  "asym_gen": [[40, 3, 1, 2, [1, 2, 3], [-0.5, 0, 0.5]]],
  "shunt": [{"id": 50, "node": 3, "status": 0, "g1": 0, "b1": 0.01, "g0": 0, "b0": 0}],
  "transformer": [[60, 1, 3, 1, 1, 10500, 400, 6.3e5, 0.04, 5e3, 0.01, 1e3, 0, 0, 5, 0, -3, -5, 5,
    0, 250]],
  "voltage_regulator": [{"id": 70, "regulated_object": 30, "status": 1, "u_ref": 1.02,
    "q_min": -1e6}],
  "extra": {"a": [null, true, false, "s\\\"\u00e9"], "b": -0.0e-0}
}}
)";

// Replacement values, separated by `|`.
constexpr std::string_view kReplacements =
    R"(null|true|false|"s"|[]|{}|1.5|-1|256|[1,2,3]|{"a":[null]}|-0|1e999|18446744073709551616|)"
    R"("\u12"|[1,]|{"a" 1}|tru|01|")";

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
        const char c = text[i];
        if (c == '[' || c == '{') ++depth;
        if (c == ']' || c == '}') {
            if (depth == 0) return i;
            if (--depth == 0) return i + 1;
        }
        if (depth == 0 && c == ',') return i;
    }
    return text.size();
}

std::string mutate(std::string text, std::mt19937_64& rng) {
    const auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    const auto pick_start = [&](bool is_key) {
        const auto found = starts(text, is_key);
        return found[pick(found.size())];
    };
    switch (pick(5)) {
        case 0:  // a byte deleted
            text.erase(pick(text.size()), 1);
            break;
        case 1:  // a prefix cut
            text.resize(pick(text.size()));
            break;
        case 2: {  // a key given twice
            const std::size_t k = pick_start(true);
            text.insert(k, text.substr(k, value_end(text, text.find(':', k) + 1) - k) + ", ");
            break;
        }
        case 3: {  // a value replaced by one of another JSON type
            const std::size_t s = pick_start(false);
            std::vector<std::string_view> values;
            for (const auto part : std::views::split(kReplacements, '|'))
                values.emplace_back(part.begin(), part.end());
            text.replace(s, value_end(text, s) - s, values[pick(values.size())]);
            break;
        }
        default: {  // a value wrapped in deep nesting
            const std::size_t s = pick_start(false);
            const std::size_t e = value_end(text, s);
            const std::size_t depth = 100 + pick(40);
            const bool object = pick(2) == 0;
            text.insert(e, std::string(depth, object ? '}' : ']'));
            for (std::size_t i = 0; i < depth; ++i) text.insert(s, object ? "{\"k\":" : "[");
        }
    }
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
    ASSERT_TRUE(std::holds_alternative<PgmInput>(parse_pgm_json(kBase)));
    static const std::regex form(R"(^(.+) at line ([0-9]+) column ([0-9]+)$)");
    std::mt19937_64 rng(20261206);
    std::size_t accepted = 0, too_deep = 0, duplicated = 0;
    for (int n = 0; n < 4000; ++n) {
        const std::string text = mutate(kBase, rng);
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
