// The engine's binary type encoding, in which each Dynamic value names its own type: one code
// byte per type, followed by its parameters and element types.
#include "clickhouse/binary_reader.hpp"

#include <stdexcept>
#include <string>

namespace kelvora::clickhouse {

namespace {

[[noreturn]] void unsupported(unsigned code) {
    throw std::invalid_argument("unsupported type code " + std::to_string(code) +
                                " in a Dynamic value");
}

ColumnType of_kind(TypeKind kind, std::string name) {
    ColumnType type;
    type.kind = kind;
    type.name = std::move(name);
    return type;
}

template <typename Code> void read_enum_values(BinaryReader& reader, ColumnType& type) {
    const uint64_t count = reader.count(1 + sizeof(Code));
    for (uint64_t i = 0; i < count; ++i) {
        std::string label(reader.string());
        type.enum_values.emplace_back(reader.fixed<Code>(), std::move(label));
    }
}

} // namespace

ColumnType read_binary_type(BinaryReader& reader, int depth) {
    if (depth > max_type_nesting) {
        throw std::invalid_argument("column type nested more than " +
                                    std::to_string(max_type_nesting) + " levels deep");
    }
    const auto element = [&] { return read_binary_type(reader, depth + 1); };
    const auto code = reader.fixed<uint8_t>();
    // The codes' order is the encoding's; the scalars' codes run 0x00 to 0x0F together.
    static const TypeKind scalars[] = {
        TypeKind::Nothing, TypeKind::UInt8,   TypeKind::UInt16,  TypeKind::UInt32,
        TypeKind::UInt64,  TypeKind::UInt128, TypeKind::UInt256, TypeKind::Int8,
        TypeKind::Int16,   TypeKind::Int32,   TypeKind::Int64,   TypeKind::Int128,
        TypeKind::Int256,  TypeKind::Float32, TypeKind::Float64, TypeKind::Date,
    };
    if (code < std::size(scalars)) return of_kind(scalars[code], "");
    ColumnType type;
    switch (code) {
    case 0x10:
        return of_kind(TypeKind::Date32, "Date32");
    case 0x11:
    case 0x12:
        type.kind = TypeKind::DateTime;
        if (code == 0x12) type.timezone = reader.string();
        return type;
    case 0x13:
    case 0x14:
        type.kind = TypeKind::DateTime64;
        type.scale = reader.fixed<uint8_t>();
        if (type.scale > 9) throw std::invalid_argument("malformed result data");
        if (code == 0x14) type.timezone = reader.string();
        return type;
    case 0x15:
        return of_kind(TypeKind::String, "String");
    case 0x16: {
        type.kind = TypeKind::FixedString;
        const uint64_t size = reader.varint();
        if (size < 1 || size > 0xFFFFFF) throw std::invalid_argument("malformed result data");
        type.size = static_cast<int>(size);
        return type;
    }
    case 0x17:
        type.kind = TypeKind::Enum8;
        read_enum_values<int8_t>(reader, type);
        return type;
    case 0x18:
        type.kind = TypeKind::Enum16;
        read_enum_values<int16_t>(reader, type);
        return type;
    case 0x19:
    case 0x1A:
    case 0x1B:
    case 0x1C: {
        type.kind = TypeKind::Decimal;
        type.size = 4 << (code - 0x19);
        const int precision = reader.fixed<uint8_t>(), scale = reader.fixed<uint8_t>();
        if (precision < 1 || precision > 76 || scale > precision)
            throw std::invalid_argument("malformed result data");
        type.scale = scale;
        return type;
    }
    case 0x1D:
        return of_kind(TypeKind::UUID, "UUID");
    case 0x1E:
        type.kind = TypeKind::Array;
        type.elements.push_back(element());
        return type;
    case 0x1F:
    case 0x20: {
        type.kind = TypeKind::Tuple;
        const uint64_t count = reader.count();
        for (uint64_t i = 0; i < count; ++i) {
            if (code == 0x20) reader.string(); // the element's name: values are positional
            type.elements.push_back(element());
        }
        return type;
    }
    case 0x22: {
        static const char* const units[] = {"Nanosecond", "Microsecond", "Millisecond", "Second",
                                            "Minute",     "Hour",        "Day",         "Week",
                                            "Month",      "Quarter",     "Year"};
        const auto unit = reader.fixed<uint8_t>();
        if (unit >= std::size(units)) throw std::invalid_argument("malformed result data");
        return interval_type(units[unit]);
    }
    case 0x23:
    case 0x26:
        type.kind = code == 0x23 ? TypeKind::Nullable : TypeKind::LowCardinality;
        type.elements.push_back(element());
        return type;
    case 0x27:
        type.kind = TypeKind::Map;
        type.elements.push_back(element());
        type.elements.push_back(element());
        return type;
    case 0x28:
        return of_kind(TypeKind::IPv4, "IPv4");
    case 0x29:
        return of_kind(TypeKind::IPv6, "IPv6");
    case 0x2A: {
        type.kind = TypeKind::Variant;
        const uint64_t count = reader.count();
        if (count > 254) throw std::invalid_argument("malformed result data");
        for (uint64_t i = 0; i < count; ++i)
            type.elements.push_back(element());
        return type;
    }
    case 0x2B:
        reader.fixed<uint8_t>(); // the most types it keeps apart
        return of_kind(TypeKind::Dynamic, "Dynamic");
    case 0x2C:
        // Types of their own name over another's values: the geometric ones.
        return parse_column_type(reader.string());
    case 0x2D:
        return of_kind(TypeKind::Bool, "Bool");
    case 0x30: {
        // The serialization's version and the limits change nothing a reader needs; typed paths
        // are read as their types, skipped paths never appear.
        type.kind = TypeKind::JSON;
        type.name = "JSON";
        reader.fixed<uint8_t>();
        reader.varint();
        reader.fixed<uint8_t>();
        const uint64_t typed = reader.count();
        for (uint64_t i = 0; i < typed; ++i) {
            type.paths.emplace_back(reader.string());
            type.elements.push_back(element());
        }
        for (int skips = 0; skips < 2; ++skips) {
            const uint64_t count = reader.count();
            for (uint64_t i = 0; i < count; ++i)
                reader.string();
        }
        return type;
    }
    case 0x31:
        return of_kind(TypeKind::BFloat16, "BFloat16");
    case 0x32:
        return of_kind(TypeKind::Time, "Time");
    case 0x34:
        type.kind = TypeKind::Time64;
        type.scale = reader.fixed<uint8_t>();
        if (type.scale > 9) throw std::invalid_argument("malformed result data");
        return type;
    default:
        unsupported(code);
    }
}

} // namespace kelvora::clickhouse
