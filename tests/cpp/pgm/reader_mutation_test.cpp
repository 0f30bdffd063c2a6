// Seeded mutations of a valid document: every variant is either read or refused with exactly one
// positioned message, and reading it never crashes or reads outside the text.

#include <gtest/gtest.h>
#include <simdjson.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <random>
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
  "line": [{"id": 10, "from_node": 1, "to_node": 2, "from_status": 1, "to_status": 1,
            "r1": 0.1, "x1": 0.2, "c1": 1e-9, "r0": 0, "x0": 0, "c0": 0}],
  "source": [[20, 1, 1, 1.0, 1e9, 0.1]],
  "sym_load": [{"id": 30, "node": 2, "status": 1, "type": 0, "p_specified": -1.5e3,
                "q_specified": 200}],
  "asym_gen": [[40, 3, 1, 2, [1, 2, 3], [-0.5, 0, 0.5]]],
  "shunt": [{"id": 50, "node": 3, "status": 0, "g1": 0, "b1": 0.01, "g0": 0, "b0": 0}],
  "transformer": [[60, 1, 3, 1, 1, 10500, 400, 6.3e5, 0.04, 5e3, 0.01, 1e3, 0, 0, 5, 0,
                   -3, -5, 5, 0, 250]],
  "voltage_regulator": [{"id": 70, "regulated_object": 30, "status": 1, "u_ref": 1.02,
                         "q_min": -1e6}],
  "extra": {"a": [null, true, false, "s\\\"\u00e9"], "b": -0.0e-0}
}}
)";

const char* const kReplacements[] = {
    "null",
    "true",
    "false",
    "\"s\"",
    "[]",
    "{}",
    "1.5",
    "-1",
    "256",
    "[1,2,3]",
    "{\"a\":[null]}",
    "-0",
    "1e999",
    "18446744073709551616",
    "\"\\u12\"",
    "[1,]",
    "{\"a\" 1}",
    "tru",
    "01",
    "\"",
};

// Byte offsets where a JSON value starts (after `:`, `,` or `[`, skipping whitespace).
std::vector<std::size_t> value_starts(const std::string& text) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != ':' && text[i] != ',' && text[i] != '[') continue;
        std::size_t j = i + 1;
        while (j < text.size() && (text[j] == ' ' || text[j] == '\n')) ++j;
        if (j < text.size() && text[j] != '"') starts.push_back(j);
    }
    return starts;
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

std::vector<std::size_t> key_starts(const std::string& text) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 1; i < text.size(); ++i)
        if (text[i] == '"' && (text[i - 1] == '{' || text[i - 1] == ' ')) starts.push_back(i);
    return starts;
}

std::string mutate(const std::string& base, std::mt19937_64& rng) {
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    std::string text = base;
    switch (pick(5)) {
        case 0:  // a byte deleted
            text.erase(pick(text.size()), 1);
            break;
        case 1:  // a prefix cut
            text.resize(pick(text.size()));
            break;
        case 2: {  // a key given twice
            const auto keys = key_starts(text);
            const std::size_t k = keys[pick(keys.size())];
            const std::size_t close = text.find('"', k + 1);
            const std::size_t colon = text.find(':', close);
            const std::size_t end = value_end(text, colon + 1);
            text.insert(k, text.substr(k, end - k) + ", ");
            break;
        }
        case 3: {  // a value replaced by one of another JSON type
            const auto starts = value_starts(text);
            const std::size_t s = starts[pick(starts.size())];
            text.replace(s, value_end(text, s) - s, kReplacements[pick(std::size(kReplacements))]);
            break;
        }
        default: {  // a value wrapped in deep nesting
            const auto starts = value_starts(text);
            const std::size_t s = starts[pick(starts.size())];
            const std::size_t depth = 100 + pick(40);
            const bool object = pick(2) == 0;
            const std::size_t e = value_end(text, s);
            std::string open, close;
            for (std::size_t i = 0; i < depth; ++i) {
                open += object ? "{\"k\":" : "[";
                close += object ? "}" : "]";
            }
            text.insert(e, close);
            text.insert(s, open);
        }
    }
    return text;
}

// "{message} at line {L} column {C}" with the point inside the text (or just past its end).
void expect_one_positioned_message(const std::string& text, const std::string& message) {
    static const std::regex form(R"(^(.+) at line ([0-9]+) column ([0-9]+)$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(message, m, form)) << message;
    EXPECT_EQ(m[1].str().find(" at line "), std::string::npos) << message;
    const std::size_t line = std::stoul(m[2].str());
    const std::size_t column = std::stoul(m[3].str());
    std::size_t line_start = 0;
    for (std::size_t l = 1; l < line; ++l) {
        line_start = text.find('\n', line_start);
        ASSERT_NE(line_start, std::string::npos) << message;
        ++line_start;
    }
    const std::size_t line_end = std::min(text.find('\n', line_start), text.size());
    EXPECT_LE(column, line_end - line_start + 1) << message;
}

// Whether simdjson's fully validating DOM parser finds the text malformed as JSON. Only its
// syntax verdicts count: it also refuses numbers beyond the double range and unpaired surrogate
// escapes, which are well-formed JSON and may stand in ignored values.
bool malformed_json(const std::string& text) {
    static simdjson::dom::parser parser;
    simdjson::dom::element root;
    switch (parser.parse(simdjson::padded_string(text)).get(root)) {
        case simdjson::TAPE_ERROR:
        case simdjson::UNCLOSED_STRING:
        case simdjson::UNESCAPED_CHARS:
        case simdjson::T_ATOM_ERROR:
        case simdjson::F_ATOM_ERROR:
        case simdjson::N_ATOM_ERROR:
        case simdjson::EMPTY:
        case simdjson::INCOMPLETE_ARRAY_OR_OBJECT:
            return true;
        default:
            return false;
    }
}

TEST(PgmReaderMutation, EveryVariantIsReadOrRefusedWithOneMessage) {
    ASSERT_TRUE(std::holds_alternative<PgmInput>(parse_pgm_json(kBase)));
    std::mt19937_64 rng(20261206);
    std::size_t accepted = 0;
    std::size_t refused = 0;
    std::size_t too_deep = 0;
    std::size_t duplicated = 0;
    for (int n = 0; n < 4000; ++n) {
        const std::string text = mutate(kBase, rng);
        // An exact-size copy, so that any read past the end is caught by the sanitizers.
        auto exact = std::make_unique<char[]>(text.size());
        std::copy(text.begin(), text.end(), exact.get());
        const auto result = parse_pgm_json(std::string_view(exact.get(), text.size()));
        if (const auto* message = std::get_if<std::string>(&result)) {
            ++refused;
            too_deep += message->starts_with("recursion limit exceeded");
            duplicated += message->starts_with("duplicate field");
            expect_one_positioned_message(text, *message);
            EXPECT_EQ(std::get<std::string>(parse_pgm_json(text)), *message);
        } else {
            ++accepted;
            EXPECT_FALSE(malformed_json(text)) << "accepted malformed JSON:\n" << text;
        }
    }
    EXPECT_GT(accepted, 100u);
    EXPECT_GT(refused, 1000u);
    EXPECT_GT(too_deep, 0u);
    EXPECT_GT(duplicated, 0u);
}

}  // namespace
