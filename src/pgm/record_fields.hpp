#pragma once
// The field layout of the PGM records as both readers see it: JSON key, value kind, whether the
// key is required, and where the field lives in its record. Declaration order is array-form order.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "pgm/records.hpp"

namespace quillmere::pgm::layout {

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

#define QM_FIELD(R, key, kind, req)             \
    FieldDesc {                                 \
#key, Kind::kind, req, offsetof(R, key) \
    }

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

inline constexpr std::array<std::string_view, 11> kDataKeys{"node",
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
inline constexpr Shape kDataShape{"struct PgmData", "struct PgmData with 11 elements", kDataKeys,
                                  0b101};
inline constexpr std::array<std::string_view, 1> kInputKeys{"data"};
inline constexpr Shape kInputShape{"struct PgmInput", "struct PgmInput with 1 element", kInputKeys,
                                   1};

// The index of `key` among the record's keys (the record's size when it names none). Keys
// usually come in declaration order, so the search starts after the previous match.
inline std::size_t find_key(const Shape& shape, std::string_view key, std::size_t hint) {
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

}  // namespace quillmere::pgm::layout
