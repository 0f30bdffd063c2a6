// The PGM JSON reader: one pass over the text, straight into the records, checking every byte.
//
// It scans the text itself rather than through simdjson On-Demand. On-Demand indexes the whole
// text before the first value is read and skips unread values without checking them, so it
// cannot stop at the first fault and say where that is; and measured on a 60 MB network, a typed
// walk over it (with the padded copy and the parser it needs per call) ran at about half the
// speed of this scanner.

#include "pgm/reader.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmere::pgm {
namespace {

// The field layout of the records: JSON key, value kind, whether the key is required, and where
// the field lives in its record. Declaration order is array-form order.

enum class Kind : std::uint8_t { U64, U8, I32, F64, Triple };

struct FieldDesc {
    std::string_view key;
    Kind kind;
    bool required;
    std::size_t offset;
};

// How a record is named in messages and which keys it has, in declaration order.
struct Shape {
    std::string_view name;
    std::string_view elements;
    std::span<const std::string_view> keys;
    std::uint32_t required;  // bit i set: field i has no default
};

template <class R>
struct Fields;

// clang-format off
#define QM_FIELD(R, key, kind, req) FieldDesc{#key, Kind::kind, req, offsetof(R, key)}
// clang-format on

template <>
struct Fields<PgmNode> {
    static constexpr std::string_view name = "struct PgmNode";
    static constexpr std::string_view elements = "struct PgmNode with 2 elements";
    static constexpr std::array list{
        QM_FIELD(PgmNode, id, U64, true),
        QM_FIELD(PgmNode, u_rated, F64, true),
    };
};

template <>
struct Fields<PgmLine> {
    static constexpr std::string_view name = "struct PgmLine";
    static constexpr std::string_view elements = "struct PgmLine with 11 elements";
    static constexpr std::array list{
        QM_FIELD(PgmLine, id, U64, true),       QM_FIELD(PgmLine, from_node, U64, true),
        QM_FIELD(PgmLine, to_node, U64, true),  QM_FIELD(PgmLine, from_status, U8, true),
        QM_FIELD(PgmLine, to_status, U8, true), QM_FIELD(PgmLine, r1, F64, true),
        QM_FIELD(PgmLine, x1, F64, true),       QM_FIELD(PgmLine, c1, F64, true),
        QM_FIELD(PgmLine, r0, F64, true),       QM_FIELD(PgmLine, x0, F64, true),
        QM_FIELD(PgmLine, c0, F64, true),
    };
};

template <>
struct Fields<PgmSource> {
    static constexpr std::string_view name = "struct PgmSource";
    static constexpr std::string_view elements = "struct PgmSource with 7 elements";
    static constexpr std::array list{
        QM_FIELD(PgmSource, id, U64, true),         QM_FIELD(PgmSource, node, U64, true),
        QM_FIELD(PgmSource, status, U8, true),      QM_FIELD(PgmSource, u_ref, F64, true),
        QM_FIELD(PgmSource, sk, F64, true),         QM_FIELD(PgmSource, rx_ratio, F64, true),
        QM_FIELD(PgmSource, z01_ratio, F64, false),
    };
};

// Loads and generators share one layout: scalar powers for the symmetric ones, triples for the
// asymmetric ones.
#define QM_INJECTION_FIELDS(R, text, power)                                             \
    template <>                                                                         \
    struct Fields<R> {                                                                  \
        static constexpr std::string_view name = "struct " text;                        \
        static constexpr std::string_view elements = "struct " text " with 6 elements"; \
        static constexpr std::array list{                                               \
            QM_FIELD(R, id, U64, true),                                                 \
            QM_FIELD(R, node, U64, true),                                               \
            QM_FIELD(R, status, U8, true),                                              \
            QM_FIELD(R, type, U8, false),                                               \
            QM_FIELD(R, p_specified, power, true),                                      \
            QM_FIELD(R, q_specified, power, true),                                      \
        };                                                                              \
    };

QM_INJECTION_FIELDS(PgmSymLoad, "PgmSymLoad", F64)
QM_INJECTION_FIELDS(PgmSymGen, "PgmSymGen", F64)
QM_INJECTION_FIELDS(PgmAsymLoad, "PgmAsymLoad", Triple)
QM_INJECTION_FIELDS(PgmAsymGen, "PgmAsymGen", Triple)
#undef QM_INJECTION_FIELDS

template <>
struct Fields<PgmShunt> {
    static constexpr std::string_view name = "struct PgmShunt";
    static constexpr std::string_view elements = "struct PgmShunt with 7 elements";
    static constexpr std::array list{
        QM_FIELD(PgmShunt, id, U64, true),    QM_FIELD(PgmShunt, node, U64, true),
        QM_FIELD(PgmShunt, status, U8, true), QM_FIELD(PgmShunt, g1, F64, true),
        QM_FIELD(PgmShunt, b1, F64, true),    QM_FIELD(PgmShunt, g0, F64, true),
        QM_FIELD(PgmShunt, b0, F64, true),
    };
};

template <>
struct Fields<PgmTransformer> {
    using R = PgmTransformer;
    static constexpr std::string_view name = "struct PgmTransformer";
    static constexpr std::string_view elements = "struct PgmTransformer with 21 elements";
    static constexpr std::array list{
        QM_FIELD(R, id, U64, true),           QM_FIELD(R, from_node, U64, true),
        QM_FIELD(R, to_node, U64, true),      QM_FIELD(R, from_status, U8, true),
        QM_FIELD(R, to_status, U8, true),     QM_FIELD(R, u1, F64, true),
        QM_FIELD(R, u2, F64, true),           QM_FIELD(R, sn, F64, true),
        QM_FIELD(R, uk, F64, true),           QM_FIELD(R, pk, F64, true),
        QM_FIELD(R, i0, F64, true),           QM_FIELD(R, p0, F64, true),
        QM_FIELD(R, winding_from, U8, false), QM_FIELD(R, winding_to, U8, false),
        QM_FIELD(R, clock, I32, true),        QM_FIELD(R, tap_side, U8, true),
        QM_FIELD(R, tap_pos, I32, true),      QM_FIELD(R, tap_min, I32, true),
        QM_FIELD(R, tap_max, I32, true),      QM_FIELD(R, tap_nom, I32, true),
        QM_FIELD(R, tap_size, F64, true),
    };
};

template <>
struct Fields<PgmThreeWindingTransformer> {
    using R = PgmThreeWindingTransformer;
    static constexpr std::string_view name = "struct PgmThreeWindingTransformer";
    static constexpr std::string_view elements =
        "struct PgmThreeWindingTransformer with 29 elements";
    static constexpr std::array list{
        QM_FIELD(R, id, U64, true),       QM_FIELD(R, node_1, U64, true),
        QM_FIELD(R, node_2, U64, true),   QM_FIELD(R, node_3, U64, true),
        QM_FIELD(R, status_1, U8, true),  QM_FIELD(R, status_2, U8, true),
        QM_FIELD(R, status_3, U8, true),  QM_FIELD(R, u1, F64, true),
        QM_FIELD(R, u2, F64, true),       QM_FIELD(R, u3, F64, true),
        QM_FIELD(R, sn_1, F64, true),     QM_FIELD(R, sn_2, F64, true),
        QM_FIELD(R, sn_3, F64, true),     QM_FIELD(R, uk_12, F64, true),
        QM_FIELD(R, uk_13, F64, true),    QM_FIELD(R, uk_23, F64, true),
        QM_FIELD(R, pk_12, F64, true),    QM_FIELD(R, pk_13, F64, true),
        QM_FIELD(R, pk_23, F64, true),    QM_FIELD(R, i0, F64, true),
        QM_FIELD(R, p0, F64, true),       QM_FIELD(R, clock_12, I32, true),
        QM_FIELD(R, clock_13, I32, true), QM_FIELD(R, tap_side, U8, true),
        QM_FIELD(R, tap_pos, I32, true),  QM_FIELD(R, tap_min, I32, true),
        QM_FIELD(R, tap_max, I32, true),  QM_FIELD(R, tap_nom, I32, true),
        QM_FIELD(R, tap_size, F64, true),
    };
};

template <>
struct Fields<PgmVoltageRegulator> {
    using R = PgmVoltageRegulator;
    static constexpr std::string_view name = "struct PgmVoltageRegulator";
    static constexpr std::string_view elements = "struct PgmVoltageRegulator with 6 elements";
    static constexpr std::array list{
        QM_FIELD(R, id, U64, true),     QM_FIELD(R, regulated_object, U64, true),
        QM_FIELD(R, status, U8, true),  QM_FIELD(R, u_ref, F64, true),
        QM_FIELD(R, q_min, F64, false), QM_FIELD(R, q_max, F64, false),
    };
};
#undef QM_FIELD

template <class R>
struct RecordShape {
    static constexpr std::array<std::string_view, Fields<R>::list.size()> keys = [] {
        std::array<std::string_view, Fields<R>::list.size()> k{};
        for (std::size_t i = 0; i < k.size(); ++i) k[i] = Fields<R>::list[i].key;
        return k;
    }();
    static constexpr std::uint32_t required = [] {
        std::uint32_t mask = 0;
        for (std::size_t i = 0; i < Fields<R>::list.size(); ++i)
            if (Fields<R>::list[i].required) mask |= std::uint32_t{1} << i;
        return mask;
    }();
    static constexpr Shape shape{Fields<R>::name, Fields<R>::elements, keys, required};
};

constexpr std::array<std::string_view, 11> kDataKeys{"node",
                                                     "line",
                                                     "source",
                                                     "sym_load",
                                                     "asym_load",
                                                     "sym_gen",
                                                     "asym_gen",
                                                     "shunt",
                                                     "transformer",
                                                     "three_winding_transformer",
                                                     "voltage_regulator"};
constexpr Shape kDataShape{"struct PgmData", "struct PgmData with 11 elements", kDataKeys, 0b101};
constexpr std::array<std::string_view, 1> kInputKeys{"data"};
constexpr Shape kInputShape{"struct PgmInput", "struct PgmInput with 1 element", kInputKeys, 1};

// The index of `key` among the record's keys (the record's size when it names none). Keys
// usually come in declaration order, so the search starts after the previous match.
std::size_t find_key(const Shape& shape, std::string_view key, std::size_t hint) {
    // Keys are a few bytes long: a plain loop beats a call to memcmp.
    const auto same = [&](std::string_view name) {
        if (name.size() != key.size()) return false;
        for (std::size_t k = 0; k < key.size(); ++k)
            if (name[k] != key[k]) return false;
        return true;
    };
    const std::size_t n = shape.keys.size();
    for (std::size_t i = hint; i < n; ++i)
        if (same(shape.keys[i])) return i;
    for (std::size_t i = 0; i < hint && i < n; ++i)
        if (same(shape.keys[i])) return i;
    return n;
}

// Every array and object, ignored ones included, takes one unit; running out is refused.
constexpr int kDepthBudget = 128;

// The one failure of a read: `index` is the count of bytes up to and including the byte where
// reading stopped (the text's length when it stopped at the end).
struct Failure {
    std::size_t index;
    std::string message;
};

constexpr std::string_view kSequence = "a sequence";
constexpr std::string_view kTriple = "an array of length 3";

constexpr std::string_view expected_name(Kind kind) {
    switch (kind) {
        case Kind::U64:
            return "u64";
        case Kind::U8:
            return "u8";
        case Kind::I32:
            return "i32";
        case Kind::F64:
            return "f64";
        case Kind::Triple:
            break;
    }
    return kTriple;
}

inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

inline int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Shortest decimal form that reads back as the same double; integral values keep a ".0" so the
// message shows that a floating-point number was given.
std::string format_float(double value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    std::string text(buf, end);
    if (text.find_first_of(".en") == std::string::npos) text += ".0";
    return text;
}

void append_escaped(std::string& out, std::string_view s) {
    out += '"';
    for (char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    constexpr char digits[] = "0123456789abcdef";
                    unsigned v = static_cast<unsigned char>(c);
                    out += "\\u{";
                    if (v >= 16) out += digits[v >> 4];
                    out += digits[v & 15];
                    out += '}';
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A JSON number as written: where it lies, whether it has a fraction or an exponent, and, when
// it has at most 19 digits, those digits as one integer with the decimal exponent that scales
// them to the number's magnitude.
struct NumberToken {
    const char* begin;
    const char* end;
    bool negative;
    bool integral;
    int digits;
    std::uint64_t mantissa;
    std::int64_t exponent;
};

constexpr int kExactDigits = 19;

// Powers of ten that doubles hold exactly, for the exact-operand conversion.
constexpr std::array<double, 23> kPowersOfTen{1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The value of a number token as the typed fields see it: a non-negative integer, a negative
// integer, or a float (fraction, exponent, -0, or an integer beyond the 64-bit ranges).
struct NumberValue {
    enum class Sort { Unsigned, Negative, Float } sort;
    std::uint64_t magnitude;
    double real;
};

class Reader {
  public:
    explicit Reader(std::string_view text)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

    PgmInput read_document() {
        PgmInput input;
        read_struct(kInputShape, [&](std::size_t) { read_data(input.data); });
        skip_ws();
        if (p_ != end_) fail_at(p_, "trailing characters");
        return input;
    }

  private:
    const char* begin_;
    const char* p_;
    const char* end_;
    int depth_ = kDepthBudget;
    std::string scratch_;

    [[noreturn]] void fail_at(const char* at, std::string message) const {
        throw Failure{static_cast<std::size_t>(at - begin_) + 1, std::move(message)};
    }
    [[noreturn]] void fail_eof(std::string message) const {
        throw Failure{static_cast<std::size_t>(end_ - begin_), std::move(message)};
    }

    void skip_ws() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    // Skips whitespace before a value and refuses the end of the text.
    void start_value() {
        skip_ws();
        if (p_ == end_) fail_eof("EOF while parsing a value");
    }

    void enter() {
        if (--depth_ == 0) fail_at(p_, "recursion limit exceeded");
        ++p_;
    }
    void leave() {
        ++depth_;
        ++p_;
    }

    // Before each element of an array whose `[` is consumed: true with p_ at the element, or
    // false with p_ at the closing `]`.
    bool next_element(bool first) {
        skip_ws();
        if (p_ == end_) fail_eof("EOF while parsing a list");
        if (*p_ == ']') return false;
        if (!first) {
            if (*p_ != ',') fail_at(p_, "expected `,` or `]`");
            ++p_;
            start_value();
            if (*p_ == ']') fail_at(p_, "trailing comma");
        }
        return true;
    }

    // After the last element a fixed-length array may hold: it must close here.
    void close_fixed_array() {
        skip_ws();
        if (p_ == end_) fail_eof("EOF while parsing a list");
        if (*p_ == ']') return leave();
        if (*p_ == ',') {
            ++p_;
            skip_ws();
            if (p_ == end_) fail_eof("EOF while parsing a list");
            if (*p_ == ']') fail_at(p_, "trailing comma");
        }
        fail_at(p_, "trailing characters");
    }

    // Before each member of an object whose `{` is consumed: true with p_ at the key's opening
    // quote, or false with p_ at the closing `}`.
    bool next_member(bool first) {
        skip_ws();
        if (p_ == end_) fail_eof("EOF while parsing an object");
        if (*p_ == '}') return false;
        if (!first) {
            if (*p_ != ',') fail_at(p_, "expected `,` or `}`");
            ++p_;
            start_value();
            if (*p_ == '}') fail_at(p_, "trailing comma");
        }
        if (*p_ != '"') fail_at(p_, "key must be a string");
        return true;
    }

    void colon() {
        skip_ws();
        if (p_ == end_) fail_eof("EOF while parsing an object");
        if (*p_ != ':') fail_at(p_, "expected `:`");
        ++p_;
    }

    // Reads a string whose opening quote is at p_ and leaves p_ after its closing quote. With
    // `out` the text is decoded into it (and escaped surrogates must pair up); without, the
    // string is only checked.
    void scan_string(std::string* out) {
        const char* run = ++p_;
        for (;;) {
            if (p_ == end_) fail_eof("EOF while parsing a string");
            const char c = *p_;
            if (c == '"') {
                if (out) out->append(run, p_);
                ++p_;
                return;
            }
            if (static_cast<unsigned char>(c) < 0x20)
                fail_at(p_, "control character (\\u0000-\\u001F) found while parsing a string");
            if (c != '\\') {
                ++p_;
                continue;
            }
            if (out) out->append(run, p_);
            ++p_;
            if (p_ == end_) fail_eof("EOF while parsing a string");
            const char e = *p_++;
            char plain = 0;
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    plain = e;
                    break;
                case 'b':
                    plain = '\b';
                    break;
                case 'f':
                    plain = '\f';
                    break;
                case 'n':
                    plain = '\n';
                    break;
                case 'r':
                    plain = '\r';
                    break;
                case 't':
                    plain = '\t';
                    break;
                case 'u': {
                    std::uint32_t cp = read_hex4();
                    if (out) {
                        if (cp >= 0xDC00 && cp <= 0xDFFF)
                            fail_at(p_ - 1, "lone trailing surrogate in hex escape");
                        if (cp >= 0xD800 && cp <= 0xDBFF) {
                            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u')
                                fail_at(p_ - 1, "lone leading surrogate in hex escape");
                            p_ += 2;
                            const std::uint32_t low = read_hex4();
                            if (low < 0xDC00 || low > 0xDFFF)
                                fail_at(p_ - 1, "lone leading surrogate in hex escape");
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        }
                        append_utf8(*out, cp);
                    }
                    run = p_;
                    continue;
                }
                default:
                    fail_at(p_ - 1, "invalid escape");
            }
            if (out) *out += plain;
            run = p_;
        }
    }

    std::uint32_t read_hex4() {
        std::uint32_t cp = 0;
        for (int i = 0; i < 4; ++i) {
            if (p_ == end_) fail_eof("EOF while parsing a string");
            const int v = hex_value(*p_);
            if (v < 0) fail_at(p_, "invalid escape");
            cp = cp * 16 + static_cast<std::uint32_t>(v);
            ++p_;
        }
        return cp;
    }

    // A key at p_ (its opening quote), read as text: a view of the source when it has no
    // escapes, else of the decoded copy. p_ ends after the closing quote.
    std::string_view read_key() {
        const char* start = p_ + 1;
        const char* q = start;
        while (q != end_ && *q != '"' && *q != '\\' && static_cast<unsigned char>(*q) >= 0x20) ++q;
        if (q != end_ && *q == '"') {
            p_ = q + 1;
            return {start, static_cast<std::size_t>(q - start)};
        }
        scratch_.clear();
        scan_string(&scratch_);
        return scratch_;
    }

    void read_literal(std::string_view word) {
        for (char c : word) {
            if (p_ == end_) fail_eof("EOF while parsing a value");
            if (*p_ != c) fail_at(p_, "invalid literal");
            ++p_;
        }
    }

    NumberToken scan_number() {
        NumberToken t{p_, p_, false, true, 0, 0, 0};
        if (*p_ == '-') {
            t.negative = true;
            ++p_;
        }
        auto require_digit = [&] {
            if (p_ == end_) fail_eof("EOF while parsing a value");
            if (!is_digit(*p_)) fail_at(p_, "invalid number");
        };
        auto mantissa_digits = [&](bool fraction) {
            require_digit();
            const char* run = p_;
            for (; p_ != end_ && is_digit(*p_) && t.digits < kExactDigits; ++p_, ++t.digits)
                t.mantissa = t.mantissa * 10 + static_cast<std::uint64_t>(*p_ - '0');
            if (p_ != end_ && is_digit(*p_)) {
                t.digits = kExactDigits + 1;
                while (p_ != end_ && is_digit(*p_)) ++p_;
            }
            if (fraction) t.exponent -= p_ - run;
        };
        if (p_ != end_ && *p_ == '0') {
            ++p_;
            ++t.digits;
            if (p_ != end_ && is_digit(*p_)) fail_at(p_, "invalid number");
        } else {
            mantissa_digits(false);
        }
        if (p_ != end_ && *p_ == '.') {
            t.integral = false;
            ++p_;
            mantissa_digits(true);
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            t.integral = false;
            ++p_;
            bool negative = false;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) negative = *p_++ == '-';
            require_digit();
            std::int64_t e = 0;
            for (; p_ != end_ && is_digit(*p_); ++p_)
                e = std::min<std::int64_t>(e * 10 + (*p_ - '0'), 1'000'000);
            t.exponent += negative ? -e : e;
        }
        t.end = p_;
        return t;
    }

    double token_to_double(const NumberToken& t) const {
        // With at most 2^53 as digits and a power of ten up to 1e22 both operands are exact,
        // so one multiplication or division rounds correctly.
        if (t.digits <= kExactDigits && t.mantissa <= (std::uint64_t{1} << 53) &&
            t.exponent >= -22 && t.exponent <= 22) {
            double value = static_cast<double>(t.mantissa);
            if (t.exponent < 0) {
                value /= kPowersOfTen[static_cast<std::size_t>(-t.exponent)];
            } else {
                value *= kPowersOfTen[static_cast<std::size_t>(t.exponent)];
            }
            return t.negative ? -value : value;
        }
        double value = 0.0;
        auto [ptr, ec] = std::from_chars(t.begin, t.end, value);
        if (ec == std::errc::result_out_of_range) {
            if (magnitude_is_large(t)) fail_at(t.end - 1, "number out of range");
            return t.negative ? -0.0 : 0.0;
        }
        return value;
    }

    // For a number beyond the double range: whether it lies above the range (rather than
    // below it), judged by the decimal exponent of its first non-zero digit.
    static bool magnitude_is_large(const NumberToken& t) {
        const char* q = t.begin + (t.negative ? 1 : 0);
        long long scale = 0;
        bool found = false;
        long long int_digits = 0;
        while (q != t.end && is_digit(*q)) {
            if (*q != '0' || found) {
                found = true;
                ++int_digits;
            }
            ++q;
        }
        if (found) scale = int_digits - 1;
        if (q != t.end && *q == '.') {
            ++q;
            long long zeros = 0;
            while (q != t.end && is_digit(*q)) {
                if (!found) {
                    if (*q == '0') {
                        ++zeros;
                    } else {
                        found = true;
                        scale = -(zeros + 1);
                    }
                }
                ++q;
            }
        }
        long long exponent = 0;
        if (q != t.end) {
            ++q;
            bool negative = false;
            if (*q == '+' || *q == '-') negative = *q++ == '-';
            while (q != t.end) {
                if (exponent < 1'000'000'000) exponent = exponent * 10 + (*q - '0');
                ++q;
            }
            if (negative) exponent = -exponent;
        }
        return scale + exponent > 0;
    }

    NumberValue number_value(const NumberToken& t) const {
        if (t.integral && t.digits <= kExactDigits) {
            if (!t.negative) return {NumberValue::Sort::Unsigned, t.mantissa, 0.0};
            if (t.mantissa != 0 && t.mantissa <= (std::uint64_t{1} << 63))
                return {NumberValue::Sort::Negative, t.mantissa, 0.0};
        } else if (t.integral) {
            const char* q = t.begin + (t.negative ? 1 : 0);
            std::uint64_t mag = 0;
            bool overflow = false;
            for (; q != t.end; ++q) {
                overflow |= __builtin_mul_overflow(mag, std::uint64_t{10}, &mag);
                overflow |= __builtin_add_overflow(mag, static_cast<std::uint64_t>(*q - '0'), &mag);
            }
            if (!overflow) {
                if (!t.negative) return {NumberValue::Sort::Unsigned, mag, 0.0};
                if (mag != 0 && mag <= (std::uint64_t{1} << 63))
                    return {NumberValue::Sort::Negative, mag, 0.0};
            }
        }
        return {NumberValue::Sort::Float, 0, token_to_double(t)};
    }

    static std::string describe_integer(const NumberValue& v) {
        std::string text = "integer `";
        if (v.sort == NumberValue::Sort::Negative) text += '-';
        text += std::to_string(v.magnitude);
        text += '`';
        return text;
    }

    // The value at p_ did not have the expected JSON type: read it far enough to name it and
    // fail there.
    [[noreturn]] void fail_invalid_type(std::string_view expected) {
        std::string what;
        const char* at = p_;
        switch (*p_) {
            case 'n':
                read_literal("null");
                what = "null";
                at = p_ - 1;
                break;
            case 't':
                read_literal("true");
                what = "boolean `true`";
                at = p_ - 1;
                break;
            case 'f':
                read_literal("false");
                what = "boolean `false`";
                at = p_ - 1;
                break;
            case '"': {
                std::string text;
                scan_string(&text);
                what = "string ";
                append_escaped(what, text);
                at = p_ - 1;
                break;
            }
            case '[':
                what = "sequence";
                break;
            case '{':
                what = "map";
                break;
            default:
                if (*p_ != '-' && !is_digit(*p_)) fail_at(p_, "expected value");
                const NumberValue v = number_value(scan_number());
                what = v.sort == NumberValue::Sort::Float
                           ? "floating point `" + format_float(v.real) + "`"
                           : describe_integer(v);
                at = p_ - 1;
        }
        std::string message = "invalid type: ";
        message += what;
        message += ", expected ";
        message += expected;
        fail_at(at, std::move(message));
    }

    // An integer field of the given kind, checked against its range.
    template <class T>
    T read_integer(Kind kind) {
        start_value();
        if (*p_ != '-' && !is_digit(*p_)) fail_invalid_type(expected_name(kind));
        const NumberValue v = number_value(scan_number());
        const char* last = p_ - 1;
        if (v.sort == NumberValue::Sort::Float) {
            fail_at(last, "invalid type: floating point `" + format_float(v.real) + "`, expected " +
                              std::string(expected_name(kind)));
        }
        constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<T>::max());
        if (v.sort == NumberValue::Sort::Unsigned) {
            if (v.magnitude <= max) return static_cast<T>(v.magnitude);
        } else if constexpr (std::numeric_limits<T>::is_signed) {
            if (v.magnitude <= max + 1)
                return static_cast<T>(-static_cast<std::int64_t>(v.magnitude - 1) - 1);
        }
        fail_at(last, "invalid value: " + describe_integer(v) + ", expected " +
                          std::string(expected_name(kind)));
    }

    double read_float(std::string_view expected) {
        start_value();
        if (*p_ != '-' && !is_digit(*p_)) fail_invalid_type(expected);
        return token_to_double(scan_number());
    }

    void read_triple(double* out) {
        start_value();
        if (*p_ != '[') fail_invalid_type(kTriple);
        enter();
        for (std::size_t i = 0; i < 3; ++i) {
            if (!next_element(i == 0)) {
                fail_at(p_, "invalid length " + std::to_string(i) + ", expected " +
                                std::string(kTriple));
            }
            out[i] = read_float("f64");
        }
        close_fixed_array();
    }

    void read_field(char* base, const FieldDesc& f) {
        char* dst = base + f.offset;
        switch (f.kind) {
            case Kind::U64: {
                const auto v = read_integer<std::uint64_t>(Kind::U64);
                std::memcpy(dst, &v, sizeof v);
                break;
            }
            case Kind::U8: {
                const auto v = read_integer<std::uint8_t>(Kind::U8);
                std::memcpy(dst, &v, sizeof v);
                break;
            }
            case Kind::I32: {
                const auto v = read_integer<std::int32_t>(Kind::I32);
                std::memcpy(dst, &v, sizeof v);
                break;
            }
            case Kind::F64: {
                const double v = read_float("f64");
                std::memcpy(dst, &v, sizeof v);
                break;
            }
            case Kind::Triple: {
                double v[3];
                read_triple(v);
                std::memcpy(dst, v, sizeof v);
                break;
            }
        }
    }

    // An ignored value: read in full and checked, then dropped.
    void skip_value() {
        start_value();
        switch (*p_) {
            case '{': {
                enter();
                for (bool first = true; next_member(first); first = false) {
                    scan_string(nullptr);
                    colon();
                    skip_value();
                }
                leave();
                break;
            }
            case '[': {
                enter();
                for (bool first = true; next_element(first); first = false) skip_value();
                leave();
                break;
            }
            case '"':
                scan_string(nullptr);
                break;
            case 'n':
                read_literal("null");
                break;
            case 't':
                read_literal("true");
                break;
            case 'f':
                read_literal("false");
                break;
            default:
                if (*p_ != '-' && !is_digit(*p_)) fail_at(p_, "expected value");
                scan_number();
        }
    }

    // A record in either form, chosen by its first character; read_value(i) reads the value of
    // field i at p_. Fields not given keep the value they already hold (their default).
    template <class ReadValue>
    void read_struct(const Shape& shape, ReadValue&& read_value) {
        start_value();
        const std::size_t n = shape.keys.size();
        if (*p_ == '{') {
            enter();
            std::uint32_t seen = 0;
            std::size_t hint = 0;
            for (bool first = true; next_member(first); first = false) {
                const std::string_view key = read_key();
                const std::size_t i = find_key(shape, key, hint);
                if (i == n) {
                    colon();
                    skip_value();
                    continue;
                }
                const std::uint32_t bit = std::uint32_t{1} << i;
                if (seen & bit) fail_at(p_ - 1, "duplicate field `" + std::string(key) + "`");
                seen |= bit;
                hint = i + 1;
                colon();
                read_value(i);
            }
            const std::uint32_t missing = shape.required & ~seen;
            if (missing != 0) {
                const auto i = static_cast<std::size_t>(__builtin_ctz(missing));
                fail_at(p_, "missing field `" + std::string(shape.keys[i]) + "`");
            }
            leave();
        } else if (*p_ == '[') {
            enter();
            bool ended = false;
            for (std::size_t i = 0; i < n; ++i) {
                if (!ended) ended = !next_element(i == 0);
                if (!ended) {
                    read_value(i);
                } else if (shape.required & (std::uint32_t{1} << i)) {
                    fail_at(p_, "invalid length " + std::to_string(i) + ", expected " +
                                    std::string(shape.elements));
                }
            }
            if (ended) {
                leave();
            } else {
                close_fixed_array();
            }
        } else {
            fail_invalid_type(shape.name);
        }
    }

    template <class R>
    void read_list(std::vector<R>& list) {
        start_value();
        if (*p_ != '[') fail_invalid_type(kSequence);
        enter();
        for (bool first = true; next_element(first); first = false) {
            R& record = list.emplace_back();
            char* base = reinterpret_cast<char*>(&record);
            read_struct(RecordShape<R>::shape,
                        [&](std::size_t i) { read_field(base, Fields<R>::list[i]); });
        }
        leave();
    }

    void read_data(PgmData& d) {
        read_struct(kDataShape, [&](std::size_t i) {
            switch (i) {
                case 0:
                    return read_list(d.node);
                case 1:
                    return read_list(d.line);
                case 2:
                    return read_list(d.source);
                case 3:
                    return read_list(d.sym_load);
                case 4:
                    return read_list(d.asym_load);
                case 5:
                    return read_list(d.sym_gen);
                case 6:
                    return read_list(d.asym_gen);
                case 7:
                    return read_list(d.shunt);
                case 8:
                    return read_list(d.transformer);
                case 9:
                    return read_list(d.three_winding_transformer);
                default:
                    return read_list(d.voltage_regulator);
            }
        });
    }
};

std::string with_position(std::string_view text, const Failure& failure) {
    const std::size_t index = failure.index < text.size() ? failure.index : text.size();
    std::size_t line_start = 0;
    std::size_t line = 1;
    for (std::size_t i = 0; i < index; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return failure.message + " at line " + std::to_string(line) + " column " +
           std::to_string(index - line_start);
}

}  // namespace

std::variant<PgmInput, std::string> parse_pgm_json(std::string_view text) {
    try {
        return Reader(text).read_document();
    } catch (const Failure& failure) {
        return with_position(text, failure);
    }
}

}  // namespace quillmere::pgm
