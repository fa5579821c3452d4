// TabSeparatedWithNamesAndTypes: a line of names, a line of types, then one line per row, fields
// separated by tabs and backslash-escaped; \N is NULL. Composite values (arrays, tuples, maps) are
// written inside a field in the quoted form of SQL literals.
#include "clickhouse/column_types.hpp"
#include "clickhouse/decoders.hpp"
#include "clickhouse/pending_sequence.hpp"

#include "native/errors.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvora::clickhouse {

namespace {

[[noreturn]] void malformed() {
    throw std::invalid_argument("malformed result data");
}

/// The value of a scalar from its text.
nb::object scalar(const ColumnType& type, std::string_view text) {
    switch (type.kind) {
    case TypeKind::UInt8:
    case TypeKind::UInt16:
    case TypeKind::UInt32:
    case TypeKind::UInt64:
    case TypeKind::UInt128:
    case TypeKind::UInt256:
    case TypeKind::Int8:
    case TypeKind::Int16:
    case TypeKind::Int32:
    case TypeKind::Int64:
    case TypeKind::Int128:
    case TypeKind::Int256: {
        std::string digits(text);
        return steal_or_raise(PyLong_FromString(digits.c_str(), nullptr, 10));
    }
    case TypeKind::BFloat16:
    case TypeKind::Float32:
    case TypeKind::Float64: {
        std::string number(text);
        if (number == "inf" || number == "+inf") return nb::float_(INFINITY);
        if (number == "-inf") return nb::float_(-INFINITY);
        if (number == "nan" || number == "-nan") return nb::float_(NAN);
        char* end = nullptr;
        double value = PyOS_string_to_double(number.c_str(), &end, nullptr);
        if (value == -1.0 && PyErr_Occurred()) raise_pending();
        // A Float32 is the single-precision number its text names, as the binary form gives it.
        if (type.kind == TypeKind::Float32) value = static_cast<float>(value);
        if (type.kind == TypeKind::BFloat16) return bfloat16_from_text(value);
        return nb::float_(value);
    }
    case TypeKind::Bool:
        return nb::borrow(text == "true" || text == "1" ? Py_True : Py_False);
    case TypeKind::String:
    case TypeKind::Enum8:
    case TypeKind::Enum16:
        return text_or_bytes(text);
    case TypeKind::FixedString:
        while (!text.empty() && text.back() == '\0')
            text.remove_suffix(1);
        return text_or_bytes(text);
    case TypeKind::Date:
    case TypeKind::Date32:
        return date_from_text(text);
    case TypeKind::DateTime:
    case TypeKind::DateTime64:
        return datetime_from_text(text);
    case TypeKind::Time:
    case TypeKind::Time64:
        return time_from_text(text, type.scale);
    case TypeKind::Interval: {
        int64_t count = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
        if (error != std::errc() || end != text.data() + text.size()) malformed();
        return interval_value(type, count);
    }
    case TypeKind::UUID:
        return uuid_from_text(text);
    case TypeKind::IPv4:
    case TypeKind::IPv6:
        return ip_from_text(text);
    case TypeKind::Decimal: {
        // The text form drops trailing zeros; the value keeps the column's scale.
        std::string digits(text);
        size_t point = digits.find('.');
        size_t fraction = point == std::string::npos ? 0 : digits.size() - point - 1;
        if (point == std::string::npos) digits += '.';
        if (fraction < static_cast<size_t>(type.scale)) digits.append(type.scale - fraction, '0');
        if (type.scale == 0 && point == std::string::npos) digits.pop_back();
        return decimal_from_text(digits);
    }
    case TypeKind::Nothing:
        return nb::none();
    case TypeKind::Variant:
    case TypeKind::Dynamic:
    case TypeKind::JSON:
        // Their text does not say which type a value is of.
        throw std::invalid_argument("unsupported column type: " + type.name +
                                    " (in a TabSeparated answer)");
    default:
        malformed();
    }
}

/// Parser of values written in the quoted form: 'text' with backslash escapes, bare numbers,
/// NULL, [arrays], (tuples) and {maps}.
class QuotedParser {
public:
    explicit QuotedParser(std::string_view text) : text_(text) {}

    nb::object value(const ColumnType& type) {
        switch (type.kind) {
        case TypeKind::Nullable:
            if (text_.substr(at_, 4) == "NULL") {
                at_ += 4;
                return nb::none();
            }
            return value(type.elements[0]);
        case TypeKind::LowCardinality:
            return value(type.elements[0]);
        case TypeKind::Array: {
            auto list = PendingSequence::list(0);
            expect('[');
            if (!take(']')) {
                do
                    list.append(value(type.elements[0]));
                while (take(','));
                expect(']');
            }
            return list.finish();
        }
        case TypeKind::Tuple: {
            auto tuple = PendingSequence::tuple(static_cast<Py_ssize_t>(type.elements.size()));
            expect('(');
            for (size_t i = 0; i < type.elements.size(); ++i) {
                if (i) expect(',');
                tuple.set_tuple_item(static_cast<Py_ssize_t>(i), value(type.elements[i]));
            }
            expect(')');
            return tuple.finish();
        }
        case TypeKind::Map: {
            nb::dict map;
            expect('{');
            if (!take('}')) {
                do {
                    nb::object key = value(type.elements[0]);
                    expect(':');
                    map[key] = value(type.elements[1]);
                } while (take(','));
                expect('}');
            }
            return map;
        }
        default:
            return scalar(type, token());
        }
    }

    bool finished() const { return at_ == text_.size(); }

private:
    bool take(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!take(c)) malformed();
    }
    /// A scalar's text: a quoted string unescaped, or the bare run up to the next delimiter.
    std::string_view token() {
        if (take('\'')) {
            buffer_.clear();
            while (at_ < text_.size() && text_[at_] != '\'') {
                char c = text_[at_++];
                if (c == '\\' && at_ < text_.size()) c = unescaped(text_[at_++]);
                buffer_ += c;
            }
            expect('\'');
            return buffer_;
        }
        size_t start = at_;
        while (at_ < text_.size() && text_[at_] != ',' && text_[at_] != ']' && text_[at_] != ')' &&
               text_[at_] != '}' && text_[at_] != ':')
            ++at_;
        return text_.substr(start, at_ - start);
    }

    std::string_view text_;
    size_t at_ = 0;
    std::string buffer_;
};

bool composite(const ColumnType& type) {
    switch (type.kind) {
    case TypeKind::Array:
    case TypeKind::Tuple:
    case TypeKind::Map:
        return true;
    case TypeKind::Nullable:
    case TypeKind::LowCardinality:
        return composite(type.elements[0]);
    default:
        return false;
    }
}

/// The value of one field from its raw text. Scalars are escaped as a whole; composite values are
/// written in the quoted form, whose strings carry their own escapes.
nb::object field(const ColumnType& type, std::string_view raw, std::string& buffer) {
    const ColumnType* inner = &type;
    while (inner->kind == TypeKind::Nullable || inner->kind == TypeKind::LowCardinality) {
        if (inner->kind == TypeKind::Nullable && raw == "\\N") return nb::none();
        inner = &inner->elements[0];
    }
    if (composite(*inner)) {
        QuotedParser parser(raw);
        nb::object result = parser.value(*inner);
        if (!parser.finished()) malformed();
        return result;
    }
    if (raw.find('\\') == std::string_view::npos) return scalar(*inner, raw);
    buffer.clear();
    for (size_t i = 0; i < raw.size(); ++i)
        buffer += raw[i] == '\\' && i + 1 < raw.size() ? unescaped(raw[++i]) : raw[i];
    return scalar(*inner, buffer);
}

/// A header field (a column's name or type) without its escapes.
std::string unescaped_field(std::string_view raw) {
    std::string text;
    for (size_t i = 0; i < raw.size(); ++i)
        text += raw[i] == '\\' && i + 1 < raw.size() ? unescaped(raw[++i]) : raw[i];
    return text;
}

/// The fields of the line starting at `at`, which moves past the line's end.
std::vector<std::string_view> line_fields(std::string_view data, size_t& at) {
    std::vector<std::string_view> fields;
    size_t start = at;
    for (; at < data.size(); ++at) {
        if (data[at] == '\\') {
            ++at; // an escaped character never ends a field
        } else if (data[at] == '\t' || data[at] == '\n') {
            fields.push_back(data.substr(start, at - start));
            start = at + 1;
            if (data[at] == '\n') {
                ++at;
                return fields;
            }
        }
    }
    fields.push_back(data.substr(start, std::min(at, data.size()) - start));
    return fields;
}

} // namespace

nb::list decode_tab_separated(std::string_view data, const Zone&) {
    // The text form is already written in the column's time zone: datetimes are taken as shown.
    nb::list rows;
    if (data.empty()) return rows;
    size_t at = 0;
    std::vector<std::string> names;
    for (std::string_view raw : line_fields(data, at))
        names.push_back(unescaped_field(raw));
    const size_t count = names.size();
    const nb::object shape = row_shape({names.begin(), names.end()});
    std::vector<ColumnType> types;
    std::string buffer;
    for (std::string_view raw : line_fields(data, at))
        types.push_back(parse_column_type(unescaped_field(raw)));
    if (types.size() != count) malformed();
    while (at < data.size()) {
        std::vector<std::string_view> fields = line_fields(data, at);
        if (fields.size() != count) malformed();
        auto row = PendingSequence::row(shape, static_cast<Py_ssize_t>(count));
        for (size_t i = 0; i < count; ++i)
            row.set_tuple_item(static_cast<Py_ssize_t>(i), field(types[i], fields[i], buffer));
        rows.append(row.finish());
    }
    return rows;
}

} // namespace kelvora::clickhouse
