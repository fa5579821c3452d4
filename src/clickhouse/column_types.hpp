// Column types of a ClickHouse result, parsed from their names ("Nullable(Array(String))").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvora::clickhouse {

enum class TypeKind : uint8_t {
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    UInt128,
    UInt256,
    Int8,
    Int16,
    Int32,
    Int64,
    Int128,
    Int256,
    Float32,
    Float64,
    Bool,
    String,
    FixedString,
    Date,
    Date32,
    DateTime,
    DateTime64,
    UUID,
    IPv4,
    IPv6,
    Decimal, // width (4, 8, 16, 32 bytes) and scale
    Enum8,
    Enum16,
    Nullable,
    Array,
    Tuple,
    Map,
    LowCardinality,
    Nothing,
};

/// One parsed type: its kind, parameters, and element types for composite kinds.
struct ColumnType {
    TypeKind kind = TypeKind::Nothing;
    int size = 0;         ///< FixedString length, Decimal byte width
    int scale = 0;        ///< Decimal scale, DateTime64 precision
    std::string timezone; ///< DateTime('tz') / DateTime64(p, 'tz'); empty for the engine's
    std::vector<std::pair<int, std::string>> enum_values; ///< Enum8/Enum16 value → name
    std::vector<ColumnType> elements; ///< Nullable/Array/LowCardinality: one; Tuple: n; Map: 2
};

/// Parses a type name; throws `std::invalid_argument` naming the type when it is not supported or
/// its parameters are out of the engine's range, and when it nests more than 64 composite levels.
ColumnType parse_column_type(std::string_view name);

/// The character a one-character backslash escape of the engine's text stands for (`\t` for `t`,
/// NUL for `0`, ...); any other character stands for itself.
char unescaped(char c);

} // namespace kelvora::clickhouse
