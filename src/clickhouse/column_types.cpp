// Column types of a ClickHouse result, parsed from their names ("Nullable(Array(String))").
#include "clickhouse/column_types.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <stdexcept>
#include <string>

namespace kelvora::clickhouse {

namespace {

// Composite types may nest this deep. The readers recurse once per level and a parsed type is
// freed recursively; type names come from the answer, so this limit is what bounds their stack.
constexpr int max_nesting = 64;

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

    /// The type at the parser's position, `depth` composite types down.
    ColumnType type(int depth);
    ColumnType element(int depth) {
        if (depth == max_nesting) {
            throw std::invalid_argument("column type nested more than " +
                                        std::to_string(max_nesting) + " levels deep");
        }
        return type(depth + 1);
    }
};

ColumnType simple(TypeKind kind) {
    ColumnType type;
    type.kind = kind;
    return type;
}

ColumnType Parser::type(int depth) {
    std::string_view name = word();
    static const std::pair<std::string_view, TypeKind> plain[] = {
        {"UInt8", TypeKind::UInt8},     {"UInt16", TypeKind::UInt16},
        {"UInt32", TypeKind::UInt32},   {"UInt64", TypeKind::UInt64},
        {"UInt128", TypeKind::UInt128}, {"UInt256", TypeKind::UInt256},
        {"Int8", TypeKind::Int8},       {"Int16", TypeKind::Int16},
        {"Int32", TypeKind::Int32},     {"Int64", TypeKind::Int64},
        {"Int128", TypeKind::Int128},   {"Int256", TypeKind::Int256},
        {"Float32", TypeKind::Float32}, {"Float64", TypeKind::Float64},
        {"Bool", TypeKind::Bool},       {"String", TypeKind::String},
        {"Date", TypeKind::Date},       {"Date32", TypeKind::Date32},
        {"UUID", TypeKind::UUID},       {"IPv4", TypeKind::IPv4},
        {"IPv6", TypeKind::IPv6},       {"Nothing", TypeKind::Nothing},
    };
    for (const auto& [known, kind] : plain)
        if (name == known) return simple(kind);

    ColumnType result;
    if (name == "DateTime") {
        result.kind = TypeKind::DateTime;
        if (take('(')) {
            result.timezone = quoted();
            expect(')');
        }
    } else if (name == "DateTime64") {
        result.kind = TypeKind::DateTime64;
        expect('(');
        // Ticks per second are 10^precision: at most nanoseconds, as the engine allows.
        result.scale = bounded(0, 9, "precision");
        if (take(',')) result.timezone = quoted();
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
    } else if (name == "Tuple" || name == "Map") {
        result.kind = name == "Tuple" ? TypeKind::Tuple : TypeKind::Map;
        expect('(');
        do {
            // Named tuple elements ("Tuple(a Int32, b String)") carry a name before the type:
            // a word followed by another word.
            size_t mark = at;
            std::string_view first = word();
            skip_spaces();
            bool named = !first.empty() && at < text.size() &&
                         std::isalpha(static_cast<unsigned char>(text[at]));
            if (!named) at = mark;
            result.elements.push_back(element(depth));
        } while (take(','));
        expect(')');
        if (result.kind == TypeKind::Map && result.elements.size() != 2) fail();
    } else {
        fail();
    }
    return result;
}

} // namespace

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
