// Every refused document gives exactly one message naming where reading stopped.

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "pgm/reader.hpp"

namespace {

using quillmere::pgm::parse_pgm_json;

// `in` says where `text` goes: "" is the whole document, "data" follows the node and source lists,
// and any other name is the single record of that list.
std::string document(const std::string& in, const std::string& text) {
    if (in.empty()) return text;
    if (in == "node") return R"({"data":{"node":[)" + text + R"(],"source":[]}})";
    if (in == "source") return R"({"data":{"node":[],"source":[)" + text + "]}}";
    if (in == "data") return R"({"data":{"node":[],"source":[])" + text + "}}";
    return R"({"data":{"node":[],"source":[],")" + in + "\":[" + text + "]}}";
}

std::string nested(const std::string& open, const std::string& close, std::size_t depth) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += open;
    for (std::size_t i = 0; i < depth; ++i) text += close;
    return text;
}

struct Refusal {
    std::string in, text;
    std::size_t column;
    std::string message;
    std::size_t line = 1;
};

// Positions count line feeds and bytes of the whole document.
const Refusal kRefusals[] = {
    // The document.
    {"", "", 0, "EOF while parsing a value"},
    {"", "\xef\xbb\xbf{\"data\":{\"node\":[],\"source\":[]}}", 1, "expected value"},
    {"", "null", 4, "invalid type: null, expected struct PgmInput"},
    {"", "[]", 2, "invalid length 0, expected struct PgmInput with 1 element"},
    {"", "{}", 2, "missing field `data`"},
    {"", R"({"data":true})", 12, "invalid type: boolean `true`, expected struct PgmData"},
    {"", R"({"data":{"node":[]}})", 19, "missing field `source`"},
    {"", R"({"data":{"node":[],"node":[]}})", 25, "duplicate field `node`"},
    {"", R"({"data":[[],[]]})", 15, "invalid length 2, expected struct PgmData with 11 elements"},
    {"", "{\n\"data\":{\"node\":[{\"id\": 1.5}],\n\"source\":[]}}", 26,
     "invalid type: floating point `1.5`, expected u64", 2},
    {"", "{\r\n\"data\":\r\n  {\"node\":[],\"source\":[]}}\r\nx", 1, "trailing characters", 4},
    {"", "{\"data\":{\"node\":[],\n\"source\":[],\n\"x\":\"\xc3\xa9\xc3\xa9\\z\"}}", 11,
     "invalid escape", 3},
    // Object form; duplicates are caught at the key, before its value.
    {"node", R"({"id":1,"id"})", 29, "duplicate field `id`"},
    {"node", R"({"id":1,"\u0069d":2})", 34, "duplicate field `id`"},
    {"node", R"({"ID":1,"u_rated":1})", 37, "missing field `id`"},
    {"node", R"({"id":1})", 25, "missing field `u_rated`"},
    // Malformed JSON inside ignored values.
    {"node", R"({"id":1,"u_rated":1,"x":{"a":01}})", 48, "invalid number"},
    {"node", R"({"id":1,"u_rated":1,"\ud800":1})", 44, "lone leading surrogate in hex escape"},
    // Array form.
    {"source", "[2,1,1,1.0,1e9]", 44,
     "invalid length 5, expected struct PgmSource with 7 elements"},
    {"source", "[2,1,1,1.0,1e9,0.1,]", 49, "trailing comma"},
    {"source", "[2,1,1,1.0,1e9,0.1,1.0,7]", 53, "trailing characters"},
    {"sym_load", "[1,2,1]", 50, "invalid length 4, expected struct PgmSymLoad with 6 elements"},
    {"node", "[1]", 20, "invalid length 1, expected struct PgmNode with 2 elements"},
    // Records and lists of the wrong kind.
    {"node", "5", 18, "invalid type: integer `5`, expected struct PgmNode"},
    {"data", R"(,"line":null)", 42, "invalid type: null, expected a sequence"},
    {"", R"({"data":{"node":{},"source":[]}})", 17, "invalid type: map, expected a sequence"},
    {"", R"({"data":{"node":"x\n\"y\u0000\u001b","source":[]}})", 36,
     R"(invalid type: string "x\n\"y\0\u{1b}", expected a sequence)"},
    // Integers.
    {"node", R"({"id":1e2})", 26, "invalid type: floating point `100.0`, expected u64"},
    {"node", R"({"id":-0})", 25, "invalid type: floating point `-0.0`, expected u64"},
    {"node", R"({"id":18446744073709551616})", 43,
     "invalid type: floating point `18446744073709551616.0`, expected u64"},
    {"node", R"({"id":-9223372036854775809})", 43,
     "invalid type: floating point `-9223372036854775808.0`, expected u64"},
    {"node", R"({"id":-9223372036854775808})", 43,
     "invalid value: integer `-9223372036854775808`, expected u64"},
    {"node", R"({"id":-1})", 25, "invalid value: integer `-1`, expected u64"},
    {"node", R"({"id":false})", 28, "invalid type: boolean `false`, expected u64"},
    {"node", R"({"id":[1]})", 24, "invalid type: sequence, expected u64"},
    {"source", "[1,1,256,1,1,1]", 37, "invalid value: integer `256`, expected u8"},
    {"source", "[1,1,-1,1,1,1]", 36, "invalid value: integer `-1`, expected u8"},
    {"transformer", R"({"tap_pos":2147483648})", 67,
     "invalid value: integer `2147483648`, expected i32"},
    {"transformer", R"({"tap_min":null})", 61, "invalid type: null, expected i32"},
    // Floats and triples.
    {"node", R"({"id":1,"u_rated":1e400})", 40, "number out of range"},
    {"voltage_regulator", "[1,2,1,1.0,null]", 67, "invalid type: null, expected f64"},
    {"asym_load", R"({"p_specified":[1,2]})", 64,
     "invalid length 2, expected an array of length 3"},
    {"asym_load", R"({"p_specified":[1,2,3,4]})", 67, "trailing characters"},
    {"asym_load", R"({"p_specified":5.5})", 62,
     "invalid type: floating point `5.5`, expected an array of length 3"},
    {"asym_load", R"({"p_specified":[1,true,3]})", 66,
     "invalid type: boolean `true`, expected f64"},
    // The first absent key in declaration order, whatever order the keys came in.
    {"three_winding_transformer", R"({"tap_size":1,"node_3":1,"id":1})", 92,
     "missing field `node_1`"},
    // Nesting beyond 127 levels, the document counting as the first, ignored values included.
    {"data", ",\"x\":" + nested("{\"a\":", "}", 130), 661, "recursion limit exceeded"},
    {"node", "{\"id\":1,\"u_rated\":1,\"x\":" + nested("[", "]", 130) + "}", 165,
     "recursion limit exceeded"},
};

TEST(PgmReaderMessages, EachRefusalHasItsMessageAndPosition) {
    for (const Refusal& r : kRefusals) {
        const std::string text = document(r.in, r.text);
        const auto result = parse_pgm_json(text);
        const auto* message = std::get_if<std::string>(&result);
        ASSERT_NE(message, nullptr) << "accepted " << text;
        EXPECT_EQ(*message, r.message + " at line " + std::to_string(r.line) + " column " +
                                std::to_string(r.column))
            << text;
    }
}

}  // namespace
