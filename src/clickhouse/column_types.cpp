// Column types of a ClickHouse result, parsed from their names ("Nullable(Array(String))").
#include "clickhouse/column_types.hpp"

#include <cctype>
#include <charconv>
#include <stdexcept>

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
            if (text[at] == '\\' && at + 1 < text.size()) ++at;
            out += text[at];
        }
        if (at >= text.size()) fail();
        ++at;
        return out;
    }

    ColumnType type();
};

ColumnType simple(TypeKind kind) {
    ColumnType type;
    type.kind = kind;
    return type;
}

ColumnType Parser::type() {
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
        result.scale = static_cast<int>(number());
        if (take(',')) result.timezone = quoted();
        expect(')');
    } else if (name == "FixedString") {
        result.kind = TypeKind::FixedString;
        expect('(');
        result.size = static_cast<int>(number());
        expect(')');
    } else if (name == "Decimal") {
        result.kind = TypeKind::Decimal;
        expect('(');
        long precision = number();
        expect(',');
        result.scale = static_cast<int>(number());
        expect(')');
        result.size = precision <= 9 ? 4 : precision <= 18 ? 8 : precision <= 38 ? 16 : 32;
    } else if (name == "Decimal32" || name == "Decimal64" || name == "Decimal128" ||
               name == "Decimal256") {
        result.kind = TypeKind::Decimal;
        result.size = name == "Decimal32"    ? 4
                      : name == "Decimal64"  ? 8
                      : name == "Decimal128" ? 16
                                             : 32;
        expect('(');
        result.scale = static_cast<int>(number());
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
        result.elements.push_back(type());
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
            result.elements.push_back(type());
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
    ColumnType result = parser.type();
    parser.skip_spaces();
    if (parser.at != name.size()) parser.fail();
    return result;
}

} // namespace kelvora::clickhouse
