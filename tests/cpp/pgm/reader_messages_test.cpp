// Every refused document gives exactly one message naming where reading stopped.

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "pgm/reader.hpp"

namespace {

// `in` says where `text` goes: "" is the whole document and any other name is the single record of
// that list.
std::string document(const std::string& in, const std::string& text) {
    if (in.empty()) return text;
    if (in == "node") return R"({"data":{"node":[)" + text + R"(],"source":[]}})";
    if (in == "source") return R"({"data":{"node":[],"source":[)" + text + "]}}";
    return R"({"data":{"node":[],"source":[],")" + in + "\":[" + text + "]}}";
}

struct Refusal {
    std::string in, text;
    std::size_t column;
    std::string message;
    std::size_t line = 1;
};

// One row per kind of message; positions count line feeds and bytes of the whole document.
const Refusal kRefusals[] = {
    // The document.
    {"", "", 0, "EOF while parsing a value"},
    {"", "\xef\xbb\xbf{\"data\":{\"node\":[],\"source\":[]}}", 1, "expected value"},
    {"", "null", 4, "invalid type: null, expected struct PgmInput"},
    {"", "[]", 2, "invalid length 0, expected struct PgmInput with 1 element"},
    {"", "{\r\n\"data\":\r\n  {\"node\":[],\"source\":[]}}\r\nx", 1, "trailing characters", 4},
    {"", "{\"data\":{\"node\":[],\n\"source\":[],\n\"x\":\"\xc3\xa9\xc3\xa9\\z\"}}", 11,
     "invalid escape", 3},
    {"", R"({"data":{"node":{},"source":[]}})", 17, "invalid type: map, expected a sequence"},
    // A NUL and other control characters are escaped when the string is named.
    {"", R"({"data":{"node":"x\n\"y\u0000\u001b","source":[]}})", 36,
     R"(invalid type: string "x\n\"y\0\u{1b}", expected a sequence)"},
    // Keys: matched after unescaping, case-sensitive, the first absent in declaration order, and
    // a repeat caught at the key, before its value.
    {"node", R"({"id":1,"\u0069d"})", 34, "duplicate field `id`"},
    {"node", R"({"ID":1,"u_rated":1})", 37, "missing field `id`"},
    {"three_winding_transformer", R"({"tap_size":1,"node_3":1,"id":1})", 92,
     "missing field `node_1`"},
    // Malformed JSON inside ignored values.
    {"node", R"({"id":1,"u_rated":1,"x":{"a":01}})", 48, "invalid number"},
    {"node", R"({"id":1,"u_rated":1,"\ud800":1})", 44, "lone leading surrogate in hex escape"},
    {"node", "{\"id\":1,\"u_rated\":1,\"x\":" + std::string(130, '[') + std::string(130, ']') + "}",
     165, "recursion limit exceeded"},
    // Array form: short (with defaults for the optional tail), with a trailing comma, too long.
    {"source", "[2,1,1,1.0,1e9]", 44,
     "invalid length 5, expected struct PgmSource with 7 elements"},
    {"source", "[2,1,1,1.0,1e9,0.1,]", 49, "trailing comma"},
    {"source", "[2,1,1,1.0,1e9,0.1,1.0,7]", 53, "trailing characters"},
    {"node", "5", 18, "invalid type: integer `5`, expected struct PgmNode"},
    // Integers.
    {"", "{\n\"data\":{\"node\":[{\"id\": 1.5}],\n\"source\":[]}}", 26,
     "invalid type: floating point `1.5`, expected u64", 2},
    {"node", R"({"id":-0})", 25, "invalid type: floating point `-0.0`, expected u64"},
    {"node", R"({"id":18446744073709551616})", 43,
     "invalid type: floating point `18446744073709551616.0`, expected u64"},
    {"node", R"({"id":-9223372036854775808})", 43,
     "invalid value: integer `-9223372036854775808`, expected u64"},
    {"node", R"({"id":[1]})", 24, "invalid type: sequence, expected u64"},
    {"source", "[1,1,256,1,1,1]", 37, "invalid value: integer `256`, expected u8"},
    {"transformer", R"({"tap_pos":2147483648})", 67,
     "invalid value: integer `2147483648`, expected i32"},
    // Floats and triples.
    {"node", R"({"id":1,"u_rated":1e400})", 40, "number out of range"},
    {"asym_load", R"({"p_specified":[1,2]})", 64,
     "invalid length 2, expected an array of length 3"},
    {"asym_load", R"({"p_specified":[1,2,3,4]})", 67, "trailing characters"},
    {"asym_load", R"({"p_specified":[1,true,3]})", 66,
     "invalid type: boolean `true`, expected f64"},
};

TEST(PgmReaderMessages, EachRefusalHasItsMessageAndPosition) {
    for (const Refusal& r : kRefusals) {
        const std::string text = document(r.in, r.text);
        const auto result = quillmere::pgm::parse_pgm_json(text);
        ASSERT_TRUE(std::holds_alternative<std::string>(result)) << "accepted " << text;
        EXPECT_EQ(std::get<std::string>(result), r.message + " at line " + std::to_string(r.line) +
                                                     " column " + std::to_string(r.column))
            << text;
    }
}

}  // namespace
