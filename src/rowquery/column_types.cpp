// ClickHouse column types as the router checks values against them.
#include "rowquery/column_types.hpp"

#include <charconv>

namespace kelvora::rowquery {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\n'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

int number(const std::string& text, int fallback) {
    int value = fallback;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

/// The labels of "'a' = 1, 'b\'c' = 2", unescaped as the engine escapes them.
std::vector<std::string> enum_labels(const std::vector<std::string>& arguments) {
    std::vector<std::string> labels;
    for (const std::string& argument : arguments) {
        if (argument.empty() || argument[0] != '\'') continue;
        std::string label;
        for (size_t i = 1; i < argument.size() && argument[i] != '\''; ++i) {
            char c = argument[i];
            if (c == '\\' && i + 1 < argument.size()) {
                char escaped = argument[++i];
                switch (escaped) {
                case 'n':
                    c = '\n';
                    break;
                case 't':
                    c = '\t';
                    break;
                case 'r':
                    c = '\r';
                    break;
                case '0':
                    c = '\0';
                    break;
                case 'b':
                    c = '\b';
                    break;
                case 'f':
                    c = '\f';
                    break;
                default:
                    c = escaped;
                }
            }
            label += c;
        }
        labels.push_back(std::move(label));
    }
    return labels;
}

} // namespace

bool ColumnType::is_ordered() const {
    return family != Family::Array && family != Family::Other && family != Family::Bool &&
           family != Family::Enum;
}

std::vector<std::string> type_arguments(std::string_view text, std::string& family) {
    text = trimmed(text);
    size_t open = text.find('(');
    family = std::string(trimmed(text.substr(0, open)));
    std::vector<std::string> arguments;
    if (open == std::string_view::npos) return arguments;
    size_t close = text.rfind(')');
    std::string_view body = text.substr(open + 1, close == std::string_view::npos || close <= open
                                                      ? std::string_view::npos
                                                      : close - open - 1);
    int depth = 0;
    bool quoted = false, escaped = false;
    size_t start = 0;
    for (size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (quoted) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '\'')
                quoted = false;
        } else if (c == '\'') {
            quoted = true;
        } else if (c == '(' || c == '[') {
            ++depth;
        } else if (c == ')' || c == ']') {
            --depth;
        } else if (c == ',' && depth == 0) {
            arguments.emplace_back(trimmed(body.substr(start, i - start)));
            start = i + 1;
        }
    }
    arguments.emplace_back(trimmed(body.substr(start)));
    return arguments;
}

ColumnType parse_column_type(std::string_view text) {
    ColumnType type;
    type.name = std::string(trimmed(text));
    std::string family;
    std::vector<std::string> arguments = type_arguments(text, family);
    if ((family == "Nullable" || family == "LowCardinality") && arguments.size() == 1) {
        ColumnType inner = parse_column_type(arguments[0]);
        inner.nullable = inner.nullable || family == "Nullable";
        inner.name = type.name;
        return inner;
    }
    static const std::pair<const char*, int> integers[] = {
        {"Int8", 8},     {"Int16", 16},   {"Int32", 32},    {"Int64", 64},
        {"Int128", 128}, {"Int256", 256}, {"UInt8", 8},     {"UInt16", 16},
        {"UInt32", 32},  {"UInt64", 64},  {"UInt128", 128}, {"UInt256", 256}};
    for (const auto& [name, bits] : integers)
        if (family == name) {
            type.family = family[0] == 'U' ? Family::Unsigned : Family::Signed;
            type.bits = bits;
            return type;
        }
    if (family == "Float32" || family == "Float64") {
        type.family = Family::Float;
    } else if (family == "Bool") {
        type.family = Family::Bool;
    } else if (family == "String") {
        type.family = Family::String;
    } else if (family == "FixedString" && arguments.size() == 1) {
        type.family = Family::FixedString;
        type.size = static_cast<size_t>(number(arguments[0], 0));
    } else if (family == "Date") {
        type.family = Family::Date;
    } else if (family == "Date32") {
        type.family = Family::Date32;
    } else if (family == "DateTime") {
        type.family = Family::DateTime;
    } else if (family == "DateTime64") {
        type.family = Family::DateTime64;
        type.scale = arguments.empty() ? 3 : number(arguments[0], 3);
    } else if (family == "UUID") {
        type.family = Family::UUID;
    } else if (family == "IPv4") {
        type.family = Family::IPv4;
    } else if (family == "IPv6") {
        type.family = Family::IPv6;
    } else if (family == "Enum8" || family == "Enum16" || family == "Enum") {
        type.family = Family::Enum;
        type.labels = enum_labels(arguments);
    } else if (family == "Decimal" && arguments.size() == 2) {
        type.family = Family::Decimal;
        type.precision = number(arguments[0], 0);
        type.scale = number(arguments[1], 0);
    } else if (family.starts_with("Decimal") && arguments.size() == 1) {
        static const std::pair<const char*, int> widths[] = {
            {"Decimal32", 9}, {"Decimal64", 18}, {"Decimal128", 38}, {"Decimal256", 76}};
        for (const auto& [name, precision] : widths)
            if (family == name) {
                type.family = Family::Decimal;
                type.precision = precision;
                type.scale = number(arguments[0], 0);
            }
    } else if (family == "Array" && arguments.size() == 1) {
        type.family = Family::Array;
        type.element = std::make_shared<ColumnType>(parse_column_type(arguments[0]));
    }
    return type;
}

} // namespace kelvora::rowquery
