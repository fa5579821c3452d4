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
    BFloat16,
    Float32,
    Float64,
    Bool,
    String,
    FixedString,
    Date,
    Date32,
    DateTime,
    DateTime64,
    Time,   // signed seconds
    Time64, // signed ticks of 10^-scale seconds
    Interval,
    UUID,
    IPv4,
    IPv6,
    Decimal, // width (4, 8, 16, 32 bytes) and scale
    Enum8,
    Enum16,
    // The kinds above are scalars; those below wrap, hold or describe other values.
    Nullable,
    Array,
    Tuple,
    Map,
    LowCardinality,
    Variant, // a discriminator byte (255: NULL), then a value of that element type
    Dynamic, // the value's type in the binary type encoding, then the value
    JSON,    // paths and their values: typed paths in `elements`, the others Dynamic
    Nothing,
};

/// Whether a value of the kind is one number, text or other single binary form.
constexpr bool is_scalar(TypeKind kind) {
    return kind < TypeKind::Nullable;
}

/// One parsed type: its kind, parameters, and element types for composite kinds.
struct ColumnType {
    TypeKind kind = TypeKind::Nothing;
    int size = 0;  ///< FixedString length, Decimal byte width
    int scale = 0; ///< Decimal scale, DateTime64 and Time64 precision
    /// Interval: microseconds a unit lasts (0 for units of no fixed length or below a microsecond:
    /// months, quarters, years, nanoseconds)
    int64_t unit_microseconds = 0;
    std::string timezone; ///< DateTime('tz') / DateTime64(p, 'tz'); empty for the engine's
    std::vector<std::pair<int, std::string>> enum_values; ///< Enum8/Enum16 value → name
    /// Nullable/Array/LowCardinality: one; Tuple and Variant: n; Map: 2; JSON: its typed paths
    std::vector<ColumnType> elements;
    std::vector<std::string> paths; ///< JSON: the typed paths, in the order of `elements`
    std::string name;               ///< the type's name as the answer spells it
};

/// The Interval type of `unit` ("Second", "Month", ...); throws `std::invalid_argument` for a unit
/// the engine does not have.
ColumnType interval_type(std::string_view unit);

/// Composite types nest at most this many levels. The readers recurse once per level and a parsed
/// type is freed recursively; types come from the answer, so this limit is what bounds their stack.
constexpr int max_type_nesting = 64;

/// Parses a type name; throws `std::invalid_argument` naming the type when it is not supported or
/// its parameters are out of the engine's range, and when it nests more than 64 composite levels.
/// The geometric types are the arrays and tuples they are made of, Nested the array of its tuples,
/// SimpleAggregateFunction(f, T) its T.
ColumnType parse_column_type(std::string_view name);

/// The character a one-character backslash escape of the engine's text stands for (`\t` for `t`,
/// NUL for `0`, ...); any other character stands for itself.
char unescaped(char c);

} // namespace kelvora::clickhouse
