// Values in the engine's binary encoding, read from an answer: little-endian numbers,
// length-prefixed strings, and the scalar types' Python values.
#include "clickhouse/binary_reader.hpp"

#include "native/errors.hpp"
#include "native/literals.hpp"

#include <charconv>

namespace kelvora::clickhouse {

uint64_t BinaryReader::varint() {
    uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        const auto byte = static_cast<unsigned char>(*take(1));
        value |= static_cast<uint64_t>(byte & 0x7f) << shift;
        if (!(byte & 0x80)) return value;
    }
    throw std::invalid_argument("bad length in result data");
}

nb::object BinaryReader::wide_integer(size_t bytes, bool is_signed) {
    const char* raw = take(bytes);
    return steal_or_raise(_PyLong_FromByteArray(reinterpret_cast<const unsigned char*>(raw), bytes,
                                                /*little_endian=*/1, is_signed));
}

nb::object BinaryReader::decimal(const ColumnType& type) {
    if (type.size == 4 || type.size == 8) {
        char digits[24];
        const int64_t scaled = type.size == 4 ? fixed<int32_t>() : fixed<int64_t>();
        const auto end = std::to_chars(digits, digits + sizeof digits, scaled).ptr;
        return decimal_from_digits({digits, static_cast<size_t>(end - digits)}, type.scale);
    }
    nb::object scaled = wide_integer(static_cast<size_t>(type.size), true);
    return decimal_from_digits(utf8(steal_or_raise(PyObject_Str(scaled.ptr()))), type.scale);
}

nb::object BinaryReader::scalar(const ColumnType& type, const Zone& zone) {
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
    case TypeKind::BFloat16:
        return float_from_bfloat16(fixed<uint16_t>());
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
        return dates_.date(fixed<uint16_t>());
    case TypeKind::Date32:
        return dates_.date(fixed<int32_t>());
    case TypeKind::DateTime:
        return zone.datetime(fixed<uint32_t>(), 0);
    case TypeKind::DateTime64: {
        const auto [seconds, microseconds] = split_ticks(fixed<int64_t>(), type.scale);
        return zone.datetime(seconds, microseconds);
    }
    case TypeKind::Time:
        return timedelta_from_ticks(fixed<int32_t>(), 0);
    case TypeKind::Time64:
        return timedelta_from_ticks(fixed<int64_t>(), type.scale);
    case TypeKind::Interval:
        return interval_value(type, fixed<int64_t>());
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
    default:
        throw std::invalid_argument("unsupported column type: " + type.name);
    }
}

size_t scalar_width(const ColumnType& type) {
    switch (type.kind) {
    case TypeKind::UInt8:
    case TypeKind::Int8:
    case TypeKind::Bool:
    case TypeKind::Enum8:
        return 1;
    case TypeKind::UInt16:
    case TypeKind::Int16:
    case TypeKind::BFloat16:
    case TypeKind::Date:
    case TypeKind::Enum16:
        return 2;
    case TypeKind::UInt32:
    case TypeKind::Int32:
    case TypeKind::Float32:
    case TypeKind::Date32:
    case TypeKind::DateTime:
    case TypeKind::Time:
    case TypeKind::IPv4:
        return 4;
    case TypeKind::UInt64:
    case TypeKind::Int64:
    case TypeKind::Float64:
    case TypeKind::DateTime64:
    case TypeKind::Time64:
    case TypeKind::Interval:
        return 8;
    case TypeKind::UInt128:
    case TypeKind::Int128:
    case TypeKind::UUID:
    case TypeKind::IPv6:
        return 16;
    case TypeKind::UInt256:
    case TypeKind::Int256:
        return 32;
    case TypeKind::FixedString:
    case TypeKind::Decimal:
        return static_cast<size_t>(type.size);
    case TypeKind::String:
        return 0;
    default:
        throw std::invalid_argument("unsupported column type: " + type.name);
    }
}

std::string_view named_timezone(const ColumnType& type) {
    if (!type.timezone.empty()) return type.timezone;
    for (const ColumnType& element : type.elements)
        if (std::string_view zone = named_timezone(element); !zone.empty()) return zone;
    return {};
}

} // namespace kelvora::clickhouse
