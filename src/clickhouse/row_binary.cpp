// RowBinaryWithNamesAndTypes: the column names and types, then each row's values back to back in
// their binary form (little-endian numbers, length-prefixed strings).
#include "clickhouse/column_types.hpp"
#include "clickhouse/decoders.hpp"
#include "clickhouse/pending_sequence.hpp"

#include "native/errors.hpp"
#include "native/literals.hpp"

#include <charconv>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace kelvora::clickhouse {

namespace {

struct Column {
    ColumnType type;
    Zone zone;
};

class Reader {
public:
    explicit Reader(std::string_view data) : data_(data) {}

    bool done() const { return at_ >= data_.size(); }

    const char* take(size_t count) {
        if (data_.size() - at_ < count) throw std::invalid_argument("truncated result data");
        const char* start = data_.data() + at_;
        at_ += count;
        return start;
    }

    template <typename T> T fixed() {
        T value;
        std::memcpy(&value, take(sizeof value), sizeof value);
        return value;
    }

    uint64_t varint() {
        uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const auto byte = static_cast<unsigned char>(*take(1));
            value |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80)) return value;
        }
        throw std::invalid_argument("bad length in result data");
    }

    std::string_view string() {
        const uint64_t size = varint();
        return {take(size), size};
    }

    /// A count of values to follow. Every value takes a byte at least, so a count beyond the
    /// bytes left is refused before anything is made for it.
    uint64_t count() {
        const uint64_t count = varint();
        if (count > data_.size() - at_) throw std::invalid_argument("truncated result data");
        return count;
    }

    nb::object value(const ColumnType& type, const Zone& zone);

    nb::object row(const std::vector<Column>& columns) {
        auto row = PendingSequence::tuple(static_cast<Py_ssize_t>(columns.size()));
        for (size_t i = 0; i < columns.size(); ++i)
            row.set_tuple_item(static_cast<Py_ssize_t>(i), value(columns[i].type, columns[i].zone));
        return row.finish();
    }

private:
    nb::object wide_integer(size_t bytes, bool is_signed) {
        const char* raw = take(bytes);
        return steal_or_raise(_PyLong_FromByteArray(reinterpret_cast<const unsigned char*>(raw),
                                                    bytes, /*little_endian=*/1, is_signed));
    }

    nb::object decimal(const ColumnType& type) {
        if (type.size == 4 || type.size == 8) {
            char digits[24];
            const int64_t scaled = type.size == 4 ? fixed<int32_t>() : fixed<int64_t>();
            const auto end = std::to_chars(digits, digits + sizeof digits, scaled).ptr;
            return decimal_from_digits({digits, static_cast<size_t>(end - digits)}, type.scale);
        }
        nb::object scaled = wide_integer(static_cast<size_t>(type.size), true);
        return decimal_from_digits(utf8(steal_or_raise(PyObject_Str(scaled.ptr()))), type.scale);
    }

    std::string_view data_;
    size_t at_ = 0;
};

nb::object Reader::value(const ColumnType& type, const Zone& zone) {
    switch (type.kind) {
    case TypeKind::UInt8:
        return steal_or_raise(PyLong_FromUnsignedLong(fixed<uint8_t>()));
    case TypeKind::UInt16:
        return steal_or_raise(PyLong_FromUnsignedLong(fixed<uint16_t>()));
    case TypeKind::UInt32:
        return steal_or_raise(PyLong_FromUnsignedLong(fixed<uint32_t>()));
    case TypeKind::UInt64:
        return steal_or_raise(PyLong_FromUnsignedLongLong(fixed<uint64_t>()));
    case TypeKind::Int8:
        return steal_or_raise(PyLong_FromLong(fixed<int8_t>()));
    case TypeKind::Int16:
        return steal_or_raise(PyLong_FromLong(fixed<int16_t>()));
    case TypeKind::Int32:
        return steal_or_raise(PyLong_FromLong(fixed<int32_t>()));
    case TypeKind::Int64:
        return steal_or_raise(PyLong_FromLongLong(fixed<int64_t>()));
    case TypeKind::UInt128:
        return wide_integer(16, false);
    case TypeKind::UInt256:
        return wide_integer(32, false);
    case TypeKind::Int128:
        return wide_integer(16, true);
    case TypeKind::Int256:
        return wide_integer(32, true);
    case TypeKind::Float32:
        return steal_or_raise(PyFloat_FromDouble(fixed<float>()));
    case TypeKind::Float64:
        return steal_or_raise(PyFloat_FromDouble(fixed<double>()));
    case TypeKind::Bool:
        return nb::borrow(fixed<uint8_t>() ? Py_True : Py_False);
    case TypeKind::String:
        return text_or_bytes(string());
    case TypeKind::FixedString: {
        std::string_view raw(take(static_cast<size_t>(type.size)), static_cast<size_t>(type.size));
        while (!raw.empty() && raw.back() == '\0')
            raw.remove_suffix(1);
        return text_or_bytes(raw);
    }
    case TypeKind::Date:
        return date_from_days(fixed<uint16_t>());
    case TypeKind::Date32:
        return date_from_days(fixed<int32_t>());
    case TypeKind::DateTime:
        return zone.datetime(fixed<uint32_t>(), 0);
    case TypeKind::DateTime64: {
        int64_t ticks = fixed<int64_t>(), per_second = 1;
        for (int i = 0; i < type.scale; ++i)
            per_second *= 10;
        int64_t seconds = ticks / per_second, fraction = ticks % per_second;
        if (fraction < 0) {
            fraction += per_second;
            --seconds;
        }
        // Sub-second ticks to microseconds (truncated below a microsecond).
        int64_t micro =
            type.scale <= 6 ? fraction * (1000000 / per_second) : fraction / (per_second / 1000000);
        return zone.datetime(seconds, static_cast<int>(micro));
    }
    case TypeKind::UUID: {
        uint64_t high = fixed<uint64_t>(), low = fixed<uint64_t>();
        return uuid_from_halves(high, low);
    }
    case TypeKind::IPv4:
        return ipv4_from_int(fixed<uint32_t>());
    case TypeKind::IPv6:
        return ipv6_from_bytes(reinterpret_cast<const unsigned char*>(take(16)));
    case TypeKind::Decimal:
        return decimal(type);
    case TypeKind::Enum8:
    case TypeKind::Enum16: {
        int code = type.kind == TypeKind::Enum8 ? fixed<int8_t>() : fixed<int16_t>();
        for (const auto& [value, label] : type.enum_values)
            if (value == code) return nb::str(label.data(), label.size());
        return nb::int_(code);
    }
    case TypeKind::Nullable:
        if (fixed<uint8_t>()) return nb::none();
        return value(type.elements[0], zone);
    case TypeKind::LowCardinality:
        return value(type.elements[0], zone);
    case TypeKind::Array: {
        const auto count = static_cast<Py_ssize_t>(this->count());
        auto list = PendingSequence::list(count);
        for (Py_ssize_t i = 0; i < count; ++i)
            list.set_list_item(i, value(type.elements[0], zone));
        return list.finish();
    }
    case TypeKind::Tuple: {
        auto tuple = PendingSequence::tuple(static_cast<Py_ssize_t>(type.elements.size()));
        for (size_t i = 0; i < type.elements.size(); ++i)
            tuple.set_tuple_item(static_cast<Py_ssize_t>(i), value(type.elements[i], zone));
        return tuple.finish();
    }
    case TypeKind::Map: {
        const uint64_t count = this->count();
        nb::dict map;
        for (uint64_t i = 0; i < count; ++i) {
            nb::object key = value(type.elements[0], zone);
            map[key] = value(type.elements[1], zone);
        }
        return map;
    }
    case TypeKind::Nothing:
        take(1);
        return nb::none();
    }
    throw std::invalid_argument("unsupported column type");
}

/// The time zone a column's datetimes are shown in: the first one its type names, if any.
std::string_view named_timezone(const ColumnType& type) {
    if (!type.timezone.empty()) return type.timezone;
    for (const ColumnType& element : type.elements)
        if (std::string_view zone = named_timezone(element); !zone.empty()) return zone;
    return {};
}

} // namespace

nb::list decode_row_binary(std::string_view data, const Zone& zone) {
    nb::list rows;
    if (data.empty()) return rows;
    Reader reader(data);
    const uint64_t count = reader.count();
    for (uint64_t i = 0; i < count; ++i)
        reader.string(); // names: rows are positional
    std::vector<Column> columns;
    for (uint64_t i = 0; i < count; ++i) {
        ColumnType type = parse_column_type(reader.string());
        Zone column_zone = zone.named(named_timezone(type));
        columns.push_back({std::move(type), std::move(column_zone)});
    }
    // A row of no columns takes no bytes: rows after such a header would never end.
    if (columns.empty() && !reader.done()) throw std::invalid_argument("malformed result data");
    while (!reader.done())
        rows.append(reader.row(columns));
    return rows;
}

} // namespace kelvora::clickhouse
