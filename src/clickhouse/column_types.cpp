// Column types of a ClickHouse result, parsed from their names ("Nullable(Array(String))").
#include "clickhouse/column_types.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <stdexcept>
#include <string>

namespace kelvora::clickhouse {

namespace {

struct Parser {
    std::string_view text;
    size_t at = 0;

    void skip_spaces() {
        while (at < text.size() && text[at] == ' ')
            ++at;
    }
    bool take(char c) {
        skip_spaces();
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!take(c)) fail();
    }
    [[noreturn]] void fail() const {
        throw std::invalid_argument("unsupported column type: " + std::string(text));
    }
    [[noreturn]] void fail(const std::string& why) const {
        throw std::invalid_argument("unsupported column type: " + std::string(text) + " (" + why +
                                    ")");
    }
    /// A number in `low`..`high`, else the type is refused saying that `what` must be in range.
    int bounded(long low, long high, const char* what) {
        const long value = number();
        if (value < low || value > high)
            fail(std::string(what) + " must be " + std::to_string(low) + " to " +
                 std::to_string(high));
        return static_cast<int>(value);
    }
    std::string_view word() {
        skip_spaces();
        size_t start = at;
        while (at < text.size() &&
               (std::isalnum(static_cast<unsigned char>(text[at])) || text[at] == '_'))
            ++at;
        return text.substr(start, at - start);
    }
    long number() {
        skip_spaces();
        long value = 0;
        auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), value);
        if (error != std::errc()) fail();
        at = static_cast<size_t>(end - text.data());
        return value;
    }
    std::string quoted() {
        skip_spaces();
        if (at >= text.size() || text[at] != '\'') fail();
        std::string out;
        for (++at; at < text.size() && text[at] != '\''; ++at) {
            if (text[at] == '\\' && at + 1 < text.size()) {
                out += escaped();
                continue;
            }
            out += text[at];
        }
        if (at >= text.size()) fail();
        ++at;
        return out;
    }

    /// The character a backslash escape at the parser's position stands for (the engine quotes
    /// labels with C-like escapes: `\t`, `\0`, `\xHH`, ...); leaves the position on its last
    /// character.
    char escaped() {
        const char c = text[++at];
        switch (c) {
        case 'x': {
            unsigned value = 0;
            auto [end, error] = std::from_chars(
                text.data() + at + 1, text.data() + std::min(at + 3, text.size()), value, 16);
            if (error != std::errc() || end != text.data() + at + 3) fail();
            at += 2;
            return static_cast<char>(value);
        }
        default:
            return unescaped(c);
        }
    }

    /// The type at the parser's position, `depth` composite types down, with its spelling.
    ColumnType type(int depth) {
        skip_spaces();
        const size_t start = at;
        ColumnType result = unnamed_type(depth);
        if (result.name.empty()) result.name = text.substr(start, at - start);
        return result;
    }
    ColumnType unnamed_type(int depth);
    ColumnType element(int depth) {
        if (depth == max_type_nesting) {
            throw std::invalid_argument("column type nested more than " +
                                        std::to_string(max_type_nesting) + " levels deep");
        }
        return type(depth + 1);
    }
    /// The elements of a Tuple, Nested or Variant up to its `)`; `names` says whether they may
    /// have names ("Tuple(a Int32, `b c` String)"), which are skipped: values are positional.
    std::vector<ColumnType> elements(int depth, bool names) {
        std::vector<ColumnType> elements;
        if (take(')')) return elements;
        do {
            if (names) element_name();
            elements.push_back(element(depth));
        } while (take(','));
        expect(')');
        return elements;
    }
    /// Passes an element's name, if one is there: a backquoted name, or a word another word
    /// follows (a type that follows its name starts with a letter).
    void element_name() {
        skip_spaces();
        if (at < text.size() && text[at] == '`') {
            backquoted();
            return;
        }
        const size_t mark = at;
        const bool has_word = !word().empty();
        skip_spaces();
        if (!has_word || at >= text.size() || !std::isalpha(static_cast<unsigned char>(text[at])))
            at = mark;
    }
    /// A name in backquotes, whose backquotes and backslashes are escaped by a backslash.
    std::string backquoted() {
        std::string out;
        for (++at; at < text.size() && text[at] != '`'; ++at)
            out += text[at] == '\\' && at + 1 < text.size() ? escaped() : text[at];
        if (at >= text.size()) fail();
        ++at;
        return out;
    }
    /// A JSON path: words and backquoted names joined by dots ("a.`b c`.d").
    std::string path() {
        std::string out;
        for (;;) {
            skip_spaces();
            if (at < text.size() && text[at] == '`') {
                out += backquoted();
            } else {
                std::string_view part = word();
                if (part.empty()) fail();
                out += part;
            }
            if (at == text.size() || text[at] != '.') return out;
            out += text[at++];
        }
    }
    /// Skips the parenthesised parameters of a function, as in "quantiles(0.5, 0.9)".
    void skip_parameters() {
        int open = 0;
        do {
            if (at >= text.size()) fail();
            if (text[at] == '(') ++open;
            if (text[at] == ')') --open;
            if (text[at] == '\'')
                quoted();
            else
                ++at;
        } while (open > 0);
    }
    /// The parameters of JSON(...) up to its `)`: typed paths become elements; limits and skipped
    /// paths change nothing a reader needs.
    void json_parameters(ColumnType& result, int depth) {
        do {
            skip_spaces();
            const size_t mark = at;
            std::string_view first = word();
            if (take('=')) {
                number();
            } else if (first == "SKIP") {
                skip_spaces();
                if (text.substr(at).starts_with("REGEXP '")) {
                    word();
                    quoted();
                } else {
                    path();
                }
            } else {
                at = mark;
                result.paths.push_back(path());
                result.elements.push_back(element(depth));
            }
        } while (take(','));
        expect(')');
    }
};

ColumnType simple(TypeKind kind) {
    ColumnType type;
    type.kind = kind;
    return type;
}

ColumnType composite(TypeKind kind, std::vector<ColumnType> elements, std::string name) {
    ColumnType type;
    type.kind = kind;
    type.elements = std::move(elements);
    type.name = std::move(name);
    return type;
}

// The geometric types by what they are made of: a point is two Float64 coordinates.
ColumnType point() {
    ColumnType x = simple(TypeKind::Float64), y = simple(TypeKind::Float64);
    x.name = y.name = "Float64";
    return composite(TypeKind::Tuple, {x, y}, "Point");
}
ColumnType array_of(ColumnType element, std::string name) {
    return composite(TypeKind::Array, {std::move(element)}, std::move(name));
}
ColumnType ring() {
    return array_of(point(), "Ring");
}
ColumnType polygon() {
    return array_of(ring(), "Polygon");
}

ColumnType Parser::unnamed_type(int depth) {
    std::string_view name = word();
    static const std::pair<std::string_view, TypeKind> plain[] = {
        {"UInt8", TypeKind::UInt8},       {"UInt16", TypeKind::UInt16},
        {"UInt32", TypeKind::UInt32},     {"UInt64", TypeKind::UInt64},
        {"UInt128", TypeKind::UInt128},   {"UInt256", TypeKind::UInt256},
        {"Int8", TypeKind::Int8},         {"Int16", TypeKind::Int16},
        {"Int32", TypeKind::Int32},       {"Int64", TypeKind::Int64},
        {"Int128", TypeKind::Int128},     {"Int256", TypeKind::Int256},
        {"BFloat16", TypeKind::BFloat16}, {"Float32", TypeKind::Float32},
        {"Float64", TypeKind::Float64},   {"Bool", TypeKind::Bool},
        {"String", TypeKind::String},     {"Date", TypeKind::Date},
        {"Date32", TypeKind::Date32},     {"Time", TypeKind::Time},
        {"UUID", TypeKind::UUID},         {"IPv4", TypeKind::IPv4},
        {"IPv6", TypeKind::IPv6},         {"Nothing", TypeKind::Nothing},
    };
    for (const auto& [known, kind] : plain)
        if (name == known) return simple(kind);
    if (name == "Point") return point();
    if (name == "Ring" || name == "LineString" || name == "MultiPoint")
        return array_of(point(), std::string(name));
    if (name == "Polygon" || name == "MultiLineString") return array_of(ring(), std::string(name));
    if (name == "MultiPolygon") return array_of(polygon(), "MultiPolygon");
    if (name == "Geometry") {
        // Any of them, the variants in the order of their names.
        return composite(TypeKind::Variant,
                         {array_of(point(), "LineString"), array_of(ring(), "MultiLineString"),
                          array_of(polygon(), "MultiPolygon"), point(), polygon(), ring()},
                         "Geometry");
    }
    if (name.starts_with("Interval")) {
        try {
            return interval_type(name.substr(8));
        } catch (const std::invalid_argument&) {
            fail();
        }
    }

    ColumnType result;
    if (name == "DateTime") {
        result.kind = TypeKind::DateTime;
        if (take('(')) {
            result.timezone = quoted();
            expect(')');
        }
    } else if (name == "DateTime64" || name == "Time64") {
        result.kind = name == "DateTime64" ? TypeKind::DateTime64 : TypeKind::Time64;
        expect('(');
        // Ticks per second are 10^precision: at most nanoseconds, as the engine allows.
        result.scale = bounded(0, 9, "precision");
        if (result.kind == TypeKind::DateTime64 && take(',')) result.timezone = quoted();
        expect(')');
    } else if (name == "FixedString") {
        result.kind = TypeKind::FixedString;
        expect('(');
        // Every value then takes at least one byte, which bounds counts by the data's size.
        result.size = bounded(1, 0xFFFFFF, "length");
        expect(')');
    } else if (name == "Decimal") {
        result.kind = TypeKind::Decimal;
        expect('(');
        const int precision = bounded(1, 76, "precision");
        expect(',');
        result.scale = bounded(0, precision, "scale");
        expect(')');
        result.size = precision <= 9 ? 4 : precision <= 18 ? 8 : precision <= 38 ? 16 : 32;
    } else if (name == "Decimal32" || name == "Decimal64" || name == "Decimal128" ||
               name == "Decimal256") {
        // The scale goes up to the number of digits the width holds.
        result.kind = TypeKind::Decimal;
        const int digits = name == "Decimal32"    ? 9
                           : name == "Decimal64"  ? 18
                           : name == "Decimal128" ? 38
                                                  : 76;
        result.size = digits == 9 ? 4 : digits == 18 ? 8 : digits == 38 ? 16 : 32;
        expect('(');
        result.scale = bounded(0, digits, "scale");
        expect(')');
    } else if (name == "Enum8" || name == "Enum16") {
        result.kind = name == "Enum8" ? TypeKind::Enum8 : TypeKind::Enum16;
        expect('(');
        do {
            std::string label = quoted();
            expect('=');
            result.enum_values.emplace_back(static_cast<int>(number()), std::move(label));
        } while (take(','));
        expect(')');
    } else if (name == "Nullable" || name == "Array" || name == "LowCardinality") {
        result.kind = name == "Nullable" ? TypeKind::Nullable
                      : name == "Array"  ? TypeKind::Array
                                         : TypeKind::LowCardinality;
        expect('(');
        result.elements.push_back(element(depth));
        expect(')');
    } else if (name == "Tuple" || name == "Variant") {
        result.kind = name == "Tuple" ? TypeKind::Tuple : TypeKind::Variant;
        expect('(');
        result.elements = elements(depth, result.kind == TypeKind::Tuple);
        // A discriminator is a byte, and 255 of it is NULL.
        if (result.kind == TypeKind::Variant && result.elements.size() > 254) fail();
    } else if (name == "Nested") {
        // The engine answers a Nested column as the array of its rows.
        expect('(');
        ColumnType row = composite(TypeKind::Tuple, elements(depth, true), "");
        if (row.elements.empty()) fail();
        return array_of(std::move(row), "");
    } else if (name == "Map") {
        result.kind = TypeKind::Map;
        expect('(');
        result.elements = elements(depth, false);
        if (result.elements.size() != 2) fail();
    } else if (name == "SimpleAggregateFunction") {
        // Values of the function's result type T, as stored.
        expect('(');
        if (word().empty()) fail();
        skip_spaces();
        if (at < text.size() && text[at] == '(') skip_parameters();
        expect(',');
        result = element(depth);
        expect(')');
    } else if (name == "QBit") {
        // A vector of its element type (its bit planes are how it is stored, not how it reads).
        expect('(');
        result.kind = TypeKind::Array;
        result.elements.push_back(element(depth));
        expect(',');
        bounded(1, 0x7FFFFFFF, "dimension");
        expect(')');
    } else if (name == "Dynamic") {
        result.kind = TypeKind::Dynamic;
        if (take('(')) {
            if (word().empty()) fail();
            expect('=');
            number();
            expect(')');
        }
    } else if (name == "JSON") {
        result.kind = TypeKind::JSON;
        if (take('(') && !take(')')) json_parameters(result, depth);
    } else {
        fail();
    }
    return result;
}

} // namespace

ColumnType interval_type(std::string_view unit) {
    // Units of a fixed length keep it, in microseconds; the others are counts.
    static const std::pair<std::string_view, int64_t> units[] = {
        {"Nanosecond", 0},    {"Microsecond", 1},   {"Millisecond", 1000}, {"Second", 1000000},
        {"Minute", 60000000}, {"Hour", 3600000000}, {"Day", 86400000000},  {"Week", 604800000000},
        {"Month", 0},         {"Quarter", 0},       {"Year", 0},
    };
    for (const auto& [known, microseconds] : units) {
        if (unit == known) {
            ColumnType type = simple(TypeKind::Interval);
            type.unit_microseconds = microseconds;
            type.name = "Interval" + std::string(unit);
            return type;
        }
    }
    throw std::invalid_argument("unsupported column type: Interval" + std::string(unit));
}

ColumnType parse_column_type(std::string_view name) {
    Parser parser{name};
    ColumnType result = parser.type(0);
    parser.skip_spaces();
    if (parser.at != name.size()) parser.fail();
    return result;
}

char unescaped(char c) {
    switch (c) {
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'r':
        return '\r';
    case 'n':
        return '\n';
    case 't':
        return '\t';
    case '0':
        return '\0';
    case 'a':
        return '\a';
    case 'v':
        return '\v';
    default:
        return c;
    }
}

} // namespace kelvora::clickhouse
