// ClickHouse column types as the router checks values against them: the family, the bounds that
// matter (integer width, decimal digits, fixed size, enum labels, fraction digits), Nullable and
// the element type of arrays.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelvora::rowquery {

enum class Family {
    Signed,
    Unsigned,
    Float,
    Decimal,
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
    Enum,
    Array,
    Other, ///< Map, Tuple, JSON, ...: stored as given, never filtered or sorted on
};

struct ColumnType {
    std::string name; ///< the engine's text of the type
    Family family = Family::Other;
    bool nullable = false;
    int bits = 0;                        ///< integers
    int precision = 0, scale = 0;        ///< Decimal; DateTime64 keeps `scale` fraction digits
    size_t size = 0;                     ///< FixedString bytes
    std::vector<std::string> labels;     ///< Enum labels, unescaped
    std::shared_ptr<ColumnType> element; ///< Array elements

    bool is_text() const { return family == Family::String || family == Family::FixedString; }
    /// Whether values of the type have an order that comparisons and ORDER BY follow.
    bool is_ordered() const;
};

/// The type the engine names `text` ("LowCardinality(Nullable(String))", "Decimal(10, 2)",
/// "Array(DateTime64(3, 'UTC'))", ...); families it does not know are `Other`.
ColumnType parse_column_type(std::string_view text);

/// The top-level arguments of a type: "Map(String, Array(UInt8))" gives its family "Map" and
/// the arguments "String", "Array(UInt8)" (quoted texts kept whole).
std::vector<std::string> type_arguments(std::string_view text, std::string& family);

} // namespace kelvora::rowquery
