// Every refused document gives exactly one message naming where reading stopped.

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <variant>

#include "pgm/reader.hpp"

namespace {

using quillmere::pgm::parse_pgm_json;

struct Refusal {
    const char* rule;
    std::string_view document;
    const char* message;
};

template <std::size_t N>
constexpr std::string_view bytes(const char (&text)[N]) {
    return {text, N - 1};
}

// Grouped by the rule that refuses the document; positions count line feeds and bytes.
const Refusal kRefusals[] = {
    {"document", bytes(""), "EOF while parsing a value at line 1 column 0"},
    {"document", bytes(" \n\t\r "), "EOF while parsing a value at line 2 column 3"},
    {"document",
     bytes("\xef"
           "\xbb"
           "\xbf"
           "{\"data\":{\"node\":[],\"source\":[]}}"),
     "expected value at line 1 column 1"},
    {"document", bytes("// c\n{\"data\":{\"node\":[],\"source\":[]}}"),
     "expected value at line 1 column 1"},
    {"document", bytes("{\"data\":{\"node\":[],\"source\":[]}} {}"),
     "trailing characters at line 1 column 34"},
    {"document", bytes("{\"data\":{\"node\":[],\"source\":[]}}\n,"),
     "trailing characters at line 2 column 1"},
    {"document", bytes("{\"data\":{\"node\":[],\"source\":[]}"),
     "EOF while parsing an object at line 1 column 31"},
    {"document", bytes("\"data\""),
     "invalid type: string \"data\", expected struct PgmInput at line 1 column 6"},
    {"document", bytes("null"), "invalid type: null, expected struct PgmInput at line 1 column 4"},
    {"document", bytes("[]"),
     "invalid length 0, expected struct PgmInput with 1 element at line 1 column 2"},
    {"document", bytes("{}"), "missing field `data` at line 1 column 2"},
    {"object form", bytes("{\"data\":{\"node\":[]}}"),
     "missing field `source` at line 1 column 19"},
    {"object form", bytes("{\"data\":{\"source\":[]}}"),
     "missing field `node` at line 1 column 21"},
    {"object form", bytes("{\"data\":{\"node\":[{\"id\":1,\"id\":2}],\"source\":[]}}"),
     "duplicate field `id` at line 1 column 29"},
    {"object form", bytes("{\"data\":{\"node\":[{\"id\":1,\"id\"}],\"source\":[]}}"),
     "duplicate field `id` at line 1 column 29"},
    {"object form", bytes("{\"data\":{\"node\":[{\"id\":1,\"\\u0069d\":2}],\"source\":[]}}"),
     "duplicate field `id` at line 1 column 34"},
    {"object form", bytes("{\"data\":{\"node\":[],\"node\":[]}}"),
     "duplicate field `node` at line 1 column 25"},
    {"object form", bytes("{\"data\":{\"node\":[{\"ID\":1,\"u_rated\":1}],\"source\":[]}}"),
     "missing field `id` at line 1 column 37"},
    {"object form", bytes("{\"data\":{\"node\":[{\"u_rated\":1}],\"source\":[]}}"),
     "missing field `id` at line 1 column 30"},
    {"object form", bytes("{\"data\":{\"node\":[{\"id\":1}],\"source\":[]}}"),
     "missing field `u_rated` at line 1 column 25"},
    {"object form", bytes("{\"data\":{\"node\":[{\"id\":1,}],\"source\":[]}}"),
     "trailing comma at line 1 column 26"},
    {"object form", bytes("{\"data\":{\"node\":[{\"id\":1 \"u_rated\":1}],\"source\":[]}}"),
     "expected `,` or `}` at line 1 column 26"},
    {"object form", bytes("{\"data\":{\"node\":[{\"id\" 1}],\"source\":[]}}"),
     "expected `:` at line 1 column 24"},
    {"object form", bytes("{\"data\":{\"node\":[{id:1}],\"source\":[]}}"),
     "key must be a string at line 1 column 19"},
    {"object form",
     bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1,\"x\":[1,]}],\"source\":[]}}"),
     "trailing comma at line 1 column 45"},
    {"object form",
     bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1,\"x\":tru}],\"source\":[]}}"),
     "invalid literal at line 1 column 45"},
    {"object form",
     bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1,\"x\":\"a\\qb\"}],\"source\":[]}}"),
     "invalid escape at line 1 column 45"},
    {"object form",
     bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1,\"x\":{\"a\":01}}],\"source\":[]}}"),
     "invalid number at line 1 column 48"},
    {"object form",
     bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1,\"x\":{\"a\" 1}}],\"source\":[]}}"),
     "expected `:` at line 1 column 47"},
    {"object form", bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1,\"x\":-}],\"source\":[]}}"),
     "invalid number at line 1 column 43"},
    {"object form",
     bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1,\"x\":1.}],\"source\":[]}}"),
     "invalid number at line 1 column 44"},
    {"object form",
     bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1,\"x\":[1 2]}],\"source\":[]}}"),
     "expected `,` or `]` at line 1 column 45"},
    {"object form",
     bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1,\"x\":\"\x01"
           "\"}],\"source\":[]}}"),
     "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 43"},
    {"object form", bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1,\"x\":@}],\"source\":[]}}"),
     "expected value at line 1 column 42"},
    {"object form", bytes("{\"data\":{\"node\":[],\"source\":[],\"x\":\"abc"),
     "EOF while parsing a string at line 1 column 39"},
    {"object form", bytes("{\"data\":{\"node\":[{\"id\":12a,\"u_rated\":1}],\"source\":[]}}"),
     "expected `,` or `}` at line 1 column 26"},
    {"object form",
     bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1,\"x\":nullx}],\"source\":[]}}"),
     "expected `,` or `}` at line 1 column 46"},
    {"object form",
     bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1,\"x\":[truex]}],\"source\":[]}}"),
     "expected `,` or `]` at line 1 column 47"},
    {"object form",
     bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1,\"\\ud800\":1}],\"source\":[]}}"),
     "lone leading surrogate in hex escape at line 1 column 44"},
    {"object form",
     bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1,\"\\udc00x\":1}],\"source\":[]}}"),
     "lone trailing surrogate in hex escape at line 1 column 44"},
    {"array form", bytes("{\"data\":{\"node\":[],\"source\":[[2,1,1,1.0,1e9]]}}"),
     "invalid length 5, expected struct PgmSource with 7 elements at line 1 column 44"},
    {"array form", bytes("{\"data\":{\"node\":[],\"source\":[[2,1,1,1.0,1e9,0.1,1.0,7]]}}"),
     "trailing characters at line 1 column 53"},
    {"array form", bytes("{\"data\":{\"node\":[],\"source\":[[2,1,1,1.0,1e9,0.1,1.0,]]}}"),
     "trailing comma at line 1 column 53"},
    {"array form", bytes("{\"data\":{\"node\":[],\"source\":[[2,1,1,1.0,1e9,0.1,]]}}"),
     "trailing comma at line 1 column 49"},
    {"array form", bytes("{\"data\":{\"node\":[],\"source\":[[2,1,1 1.0]]}}"),
     "expected `,` or `]` at line 1 column 37"},
    {"array form", bytes("{\"data\":{\"node\":[],\"source\":[],\"sym_load\":[[1,2,1]]}}"),
     "invalid length 4, expected struct PgmSymLoad with 6 elements at line 1 column 50"},
    {"array form", bytes("{\"data\":[[],[]]}"),
     "invalid length 2, expected struct PgmData with 11 elements at line 1 column 15"},
    {"array form", bytes("[[[],[],[],[],[],[],[],[],[],[],[],[]]]"),
     "trailing characters at line 1 column 36"},
    {"array form", bytes("{\"data\":{\"node\":[[1]],\"source\":[]}}"),
     "invalid length 1, expected struct PgmNode with 2 elements at line 1 column 20"},
    {"array form", bytes("{\"data\":{\"node\":[[]],\"source\":[]}}"),
     "invalid length 0, expected struct PgmNode with 2 elements at line 1 column 19"},
    {"array form", bytes("{\"data\":{\"node\":[[1,10],],\"source\":[]}}"),
     "trailing comma at line 1 column 25"},
    {"record form", bytes("{\"data\":{\"node\":[5],\"source\":[]}}"),
     "invalid type: integer `5`, expected struct PgmNode at line 1 column 18"},
    {"record form", bytes("{\"data\":{\"node\":[\"n\"],\"source\":[]}}"),
     "invalid type: string \"n\", expected struct PgmNode at line 1 column 20"},
    {"record form", bytes("{\"data\":null}"),
     "invalid type: null, expected struct PgmData at line 1 column 12"},
    {"record form", bytes("{\"data\":true}"),
     "invalid type: boolean `true`, expected struct PgmData at line 1 column 12"},
    {"record form", bytes("{\"data\":{\"node\":[-0.5e1],\"source\":[]}}"),
     "invalid type: floating point `-5.0`, expected struct PgmNode at line 1 column 23"},
    {"record form", bytes("{\"data\":{\"node\":[,],\"source\":[]}}"),
     "expected value at line 1 column 18"},
    {"list", bytes("{\"data\":{\"node\":[],\"source\":[],\"line\":null}}"),
     "invalid type: null, expected a sequence at line 1 column 42"},
    {"list", bytes("{\"data\":{\"node\":{},\"source\":[]}}"),
     "invalid type: map, expected a sequence at line 1 column 17"},
    {"list", bytes("{\"data\":{\"node\":\"x\\n\\\"y\",\"source\":[]}}"),
     "invalid type: string \"x\\n\\\"y\", expected a sequence at line 1 column 24"},
    {"list",
     bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":10} "
           "{\"id\":1,\"u_rated\":10}],\"source\":[]}}"),
     "expected `,` or `]` at line 1 column 40"},
    {"list", bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":10}"),
     "EOF while parsing a list at line 1 column 38"},
    {"integer", bytes("{\"data\":{\"node\":[{\"id\":1.5,\"u_rated\":1}],\"source\":[]}}"),
     "invalid type: floating point `1.5`, expected u64 at line 1 column 26"},
    {"integer", bytes("{\"data\":{\"node\":[{\"id\":1.0,\"u_rated\":1}],\"source\":[]}}"),
     "invalid type: floating point `1.0`, expected u64 at line 1 column 26"},
    {"integer", bytes("{\"data\":{\"node\":[{\"id\":1e2,\"u_rated\":1}],\"source\":[]}}"),
     "invalid type: floating point `100.0`, expected u64 at line 1 column 26"},
    {"integer", bytes("{\"data\":{\"node\":[{\"id\":-0,\"u_rated\":1}],\"source\":[]}}"),
     "invalid type: floating point `-0.0`, expected u64 at line 1 column 25"},
    {"integer",
     bytes("{\"data\":{\"node\":[{\"id\":18446744073709551616,\"u_rated\":1}],\"source\":[]}}"),
     "invalid type: floating point `18446744073709551616.0`, expected u64 at line 1 column 43"},
    {"integer",
     bytes("{\"data\":{\"node\":[{\"id\":-9223372036854775809,\"u_rated\":1}],\"source\":[]}}"),
     "invalid type: floating point `-9223372036854775808.0`, expected u64 at line 1 column 43"},
    {"integer",
     bytes("{\"data\":{\"node\":[{\"id\":-9223372036854775808,\"u_rated\":1}],\"source\":[]}}"),
     "invalid value: integer `-9223372036854775808`, expected u64 at line 1 column 43"},
    {"integer", bytes("{\"data\":{\"node\":[{\"id\":-1,\"u_rated\":1}],\"source\":[]}}"),
     "invalid value: integer `-1`, expected u64 at line 1 column 25"},
    {"integer", bytes("{\"data\":{\"node\":[{\"id\":\"1\",\"u_rated\":1}],\"source\":[]}}"),
     "invalid type: string \"1\", expected u64 at line 1 column 26"},
    {"integer", bytes("{\"data\":{\"node\":[{\"id\":false,\"u_rated\":1}],\"source\":[]}}"),
     "invalid type: boolean `false`, expected u64 at line 1 column 28"},
    {"integer", bytes("{\"data\":{\"node\":[{\"id\":[1],\"u_rated\":1}],\"source\":[]}}"),
     "invalid type: sequence, expected u64 at line 1 column 24"},
    {"integer", bytes("{\"data\":{\"node\":[{\"id\":{},\"u_rated\":1}],\"source\":[]}}"),
     "invalid type: map, expected u64 at line 1 column 24"},
    {"integer", bytes("{\"data\":{\"node\":[],\"source\":[[1,1,256,1,1,1]]}}"),
     "invalid value: integer `256`, expected u8 at line 1 column 37"},
    {"integer", bytes("{\"data\":{\"node\":[],\"source\":[[1,1,-1,1,1,1]]}}"),
     "invalid value: integer `-1`, expected u8 at line 1 column 36"},
    {"integer", bytes("{\"data\":{\"node\":[],\"source\":[[1,1,1e0,1,1,1]]}}"),
     "invalid type: floating point `1.0`, expected u8 at line 1 column 37"},
    {"integer",
     bytes("{\"data\":{\"node\":[],\"source\":[],\"transformer\":[[1,1,2,1,1,1,1,1,1,1,1,1,0,0,0,0,"
           "2147483648,0,0,0,1]]}}"),
     "invalid value: integer `2147483648`, expected i32 at line 1 column 89"},
    {"integer",
     bytes("{\"data\":{\"node\":[],\"source\":[],\"transformer\":[[1,1,2,1,1,1,1,1,1,1,1,1,0,0,0,0,"
           "-2147483649,0,0,0,1]]}}"),
     "invalid value: integer `-2147483649`, expected i32 at line 1 column 90"},
    {"integer",
     bytes("{\"data\":{\"node\":[],\"source\":[],\"transformer\":[[1,1,2,1,1,1,1,1,1,1,1,1,0,0,0,0,"
           "null,0,0,0,1]]}}"),
     "invalid type: null, expected i32 at line 1 column 83"},
    {"integer",
     bytes("{\"data\":{\"node\":[],\"source\":[],\"transformer\":[[1,1,2,1,1,1,1,1,1,1,1,1,0,0,0,0,"
           "-0,0,0,0,1]]}}"),
     "invalid type: floating point `-0.0`, expected i32 at line 1 column 81"},
    {"float", bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1e400}],\"source\":[]}}"),
     "number out of range at line 1 column 40"},
    {"float", bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":-12.5e308}],\"source\":[]}}"),
     "number out of range at line 1 column 44"},
    {"float", bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":null}],\"source\":[]}}"),
     "invalid type: null, expected f64 at line 1 column 39"},
    {"float", bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":\"10\"}],\"source\":[]}}"),
     "invalid type: string \"10\", expected f64 at line 1 column 39"},
    {"float",
     bytes("{\"data\":{\"node\":[],\"source\":[],\"voltage_regulator\":[[1,2,1,1.0,null]]}}"),
     "invalid type: null, expected f64 at line 1 column 67"},
    {"triple",
     bytes("{\"data\":{\"node\":[],\"source\":[],\"asym_load\":[{\"id\":1,\"node\":1,\"status\":1,"
           "\"p_specified\":[1,2],\"q_specified\":[0,0,0]}]}}"),
     "invalid length 2, expected an array of length 3 at line 1 column 91"},
    {"triple",
     bytes("{\"data\":{\"node\":[],\"source\":[],\"asym_load\":[{\"id\":1,\"node\":1,\"status\":1,"
           "\"p_specified\":[],\"q_specified\":[0,0,0]}]}}"),
     "invalid length 0, expected an array of length 3 at line 1 column 88"},
    {"triple",
     bytes("{\"data\":{\"node\":[],\"source\":[],\"asym_load\":[{\"id\":1,\"node\":1,\"status\":1,"
           "\"p_specified\":[1,2,3,4],\"q_specified\":[0,0,0]}]}}"),
     "trailing characters at line 1 column 94"},
    {"triple",
     bytes("{\"data\":{\"node\":[],\"source\":[],\"asym_load\":[{\"id\":1,\"node\":1,\"status\":1,"
           "\"p_specified\":5.5,\"q_specified\":[0,0,0]}]}}"),
     "invalid type: floating point `5.5`, expected an array of length 3 at line 1 column 89"},
    {"triple",
     bytes("{\"data\":{\"node\":[],\"source\":[],\"asym_load\":[{\"id\":1,\"node\":1,\"status\":1,"
           "\"p_specified\":[1,true,3],\"q_specified\":[0,0,0]}]}}"),
     "invalid type: boolean `true`, expected f64 at line 1 column 93"},
    {"triple",
     bytes("{\"data\":{\"node\":[],\"source\":[],\"asym_load\":[{\"id\":1,\"node\":1,\"status\":1,"
           "\"p_specified\":[1,2,3,\"q_specified\":[0,0,0]}]}}"),
     "trailing characters at line 1 column 94"},
    {"nesting",
     bytes("{\"data\":{\"node\":[],\"source\":[],\"x\":[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[["
           "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]"
           "]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"
           "]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]}}"),
     "recursion limit exceeded at line 1 column 161"},
    {"nesting",
     bytes("{\"data\":{\"node\":[{\"id\":1,\"u_rated\":1,\"x\":[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[["
           "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[["
           "[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"
           "]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]}],\"source\":[]}}"),
     "recursion limit exceeded at line 1 column 165"},
    {"nesting",
     bytes("{\"data\":{\"node\":[],\"source\":[],\"x\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{"
           "\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{"
           "\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{"
           "\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{"
           "\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{"
           "\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{"
           "\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{"
           "\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{"
           "\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{"
           "\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{"
           "\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":{\"a\":1}}}"
           "}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}"
           "}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}"),
     "recursion limit exceeded at line 1 column 661"},
    {"position",
     bytes("{\n  \"data\": {\n    \"node\": [{\"id\": 1.5, \"u_rated\": 1}],\n    \"source\": []\n "
           " }\n}"),
     "invalid type: floating point `1.5`, expected u64 at line 3 column 23"},
    {"position", bytes("{\r\n\"data\":\r\n  {\"node\":[],\"source\":[]}}\r\nx"),
     "trailing characters at line 4 column 1"},
    {"position",
     bytes("{\"data\":{\"node\":[],\n\"source\":[],\n\"x\":\"\xc3"
           "\xa9"
           "\xc3"
           "\xa9"
           "\\z\"}}"),
     "invalid escape at line 3 column 11"},
    {"position", bytes("{\"data\":{\n\"node\":[],\n\"source\":[]"),
     "EOF while parsing an object at line 3 column 11"},
};

TEST(PgmReaderMessages, EachRefusalHasItsMessageAndPosition) {
    for (const Refusal& r : kRefusals) {
        const auto result = parse_pgm_json(r.document);
        const auto* message = std::get_if<std::string>(&result);
        ASSERT_NE(message, nullptr) << r.rule << ": accepted " << r.document;
        EXPECT_EQ(*message, r.message) << r.rule << ": " << r.document;
    }
}

}  // namespace

namespace {

const char* const kThreeWindingKeys[] = {
    "id",      "node_1",  "node_2",  "node_3",  "status_1", "status_2", "status_3", "u1",
    "u2",      "u3",      "sn_1",    "sn_2",    "sn_3",     "uk_12",    "uk_13",    "uk_23",
    "pk_12",   "pk_13",   "pk_23",   "i0",      "p0",       "clock_12", "clock_13", "tap_side",
    "tap_pos", "tap_min", "tap_max", "tap_nom", "tap_size"};

// A three-winding transformer in object form without the keys whose positions are in `left_out`.
std::string three_winding_document(std::initializer_list<std::size_t> left_out) {
    std::string record;
    for (std::size_t i = 0; i < std::size(kThreeWindingKeys); ++i) {
        if (std::find(left_out.begin(), left_out.end(), i) != left_out.end()) continue;
        record += record.empty() ? "{" : ",";
        record += std::string("\"") + kThreeWindingKeys[i] + "\":1";
    }
    return R"({"data":{"node":[],"source":[],"three_winding_transformer":[)" + record + "}]}}";
}

TEST(PgmReaderMessages, EveryThreeWindingKeyIsRequired) {
    ASSERT_TRUE(std::holds_alternative<quillmere::pgm::PgmInput>(
        parse_pgm_json(three_winding_document({}))));
    for (std::size_t i = 0; i < std::size(kThreeWindingKeys); ++i) {
        const std::string text = three_winding_document({i});
        const auto result = parse_pgm_json(text);
        const std::string expected = std::string("missing field `") + kThreeWindingKeys[i] +
                                     "` at line 1 column " +
                                     std::to_string(text.rfind('}', text.size() - 3) + 1);
        ASSERT_TRUE(std::holds_alternative<std::string>(result)) << kThreeWindingKeys[i];
        EXPECT_EQ(std::get<std::string>(result), expected);
    }
    // The first absent key in declaration order is named, whatever order the keys came in.
    const auto result = parse_pgm_json(three_winding_document({27, 4, 12}));
    EXPECT_EQ(std::get<std::string>(result).substr(0, 26), "missing field `status_1` a");
}

}  // namespace
