// Native: blocks of columns. Each block is its column and row counts, then per column its name,
// its type and its values: a scalar column is the values' binary forms back to back, Nullable a
// null map then the values, Array the cumulative UInt64 offsets then the elements, Tuple its
// element columns in turn, Map the array of its keys and values, LowCardinality a dictionary of
// values then each row's index into it.
#include "clickhouse/binary_reader.hpp"
#include "clickhouse/decoders.hpp"
#include "clickhouse/pending_sequence.hpp"

#include "native/errors.hpp"
#include "native/literals.hpp"

#include <cstring>
#include <stdexcept>
#include <vector>

namespace kelvora::clickhouse {

namespace {

using Values = std::vector<nb::object>;

[[noreturn]] void malformed() {
    throw std::invalid_argument("malformed result data");
}

class NativeReader {
public:
    explicit NativeReader(std::string_view data) : in_(data) {}

    BinaryReader& in() { return in_; }

    /// The `rows` values of a column of `type`, appended to `out`.
    void column(const ColumnType& type, size_t rows, const Zone& zone, Values& out);

private:
    /// Cumulative offsets of `rows` arrays: where each ends among the elements.
    std::vector<uint64_t> offsets(size_t rows) {
        std::vector<uint64_t> ends(rows);
        uint64_t last = 0;
        for (uint64_t& end : ends) {
            end = in_.fixed<uint64_t>();
            if (end < last) malformed();
            last = end;
        }
        return ends;
    }

    /// The element count the offsets end with, refused beyond the bytes left (each element takes
    /// at least one) before anything is made for them.
    size_t elements(const std::vector<uint64_t>& ends) {
        const uint64_t total = ends.empty() ? 0 : ends.back();
        if (total > in_.remaining()) throw std::invalid_argument("truncated result data");
        return static_cast<size_t>(total);
    }

    void low_cardinality(const ColumnType& type, size_t rows, const Zone& zone, Values& out);

    /// The values of a scalar type; numbers are read from the column's bytes at once.
    void scalars(const ColumnType& type, size_t rows, const Zone& zone, Values& out);

    template <typename T, typename Number>
    void fixed_values(size_t rows, Values& out, PyObject* (*make)(Number)) {
        const char* raw = in_.take(rows * sizeof(T));
        for (size_t i = 0; i < rows; ++i) {
            T value;
            std::memcpy(&value, raw + i * sizeof(T), sizeof(T));
            out.push_back(steal_or_raise(make(static_cast<Number>(value))));
        }
    }

    BinaryReader in_;
};

void NativeReader::low_cardinality(const ColumnType& type, size_t rows, const Zone& zone,
                                   Values& out) {
    // Version 1 (shared dictionaries with additional keys): then one granule for the block,
    // its index width and flags, its dictionary, and an index for each row.
    if (in_.fixed<uint64_t>() != 1) malformed();
    const uint64_t flags = in_.fixed<uint64_t>();
    constexpr uint64_t has_additional_keys = 1u << 9;
    const uint64_t width_code = flags & 0xFF;
    if (!(flags & has_additional_keys) || width_code > 3) malformed();
    // A Nullable's dictionary holds its values without the null map; index 0 is NULL.
    const ColumnType& inner = type.elements[0];
    const bool nullable = inner.kind == TypeKind::Nullable;
    const ColumnType& key_type = nullable ? inner.elements[0] : inner;
    const uint64_t keys = in_.fixed<uint64_t>();
    if (keys > in_.remaining()) throw std::invalid_argument("truncated result data");
    Values dictionary;
    dictionary.reserve(static_cast<size_t>(keys));
    column(key_type, static_cast<size_t>(keys), zone, dictionary);
    if (in_.fixed<uint64_t>() != rows) malformed();
    for (size_t i = 0; i < rows; ++i) {
        uint64_t index = 0;
        switch (width_code) {
        case 0:
            index = in_.fixed<uint8_t>();
            break;
        case 1:
            index = in_.fixed<uint16_t>();
            break;
        case 2:
            index = in_.fixed<uint32_t>();
            break;
        default:
            index = in_.fixed<uint64_t>();
        }
        if (index >= dictionary.size()) malformed();
        out.push_back(nullable && index == 0 ? nb::none() : dictionary[index]);
    }
}

void NativeReader::column(const ColumnType& type, size_t rows, const Zone& zone, Values& out) {
    switch (type.kind) {
    case TypeKind::Nullable: {
        const char* nulls = in_.take(rows);
        const size_t start = out.size();
        column(type.elements[0], rows, zone, out);
        for (size_t i = 0; i < rows; ++i)
            if (nulls[i]) out[start + i] = nb::none();
        return;
    }
    case TypeKind::Array: {
        const std::vector<uint64_t> ends = offsets(rows);
        Values items;
        items.reserve(elements(ends));
        column(type.elements[0], elements(ends), zone, items);
        uint64_t begin = 0;
        for (uint64_t end : ends) {
            auto list = PendingSequence::list(static_cast<Py_ssize_t>(end - begin));
            for (uint64_t i = begin; i < end; ++i)
                list.set_list_item(static_cast<Py_ssize_t>(i - begin), std::move(items[i]));
            out.push_back(list.finish());
            begin = end;
        }
        return;
    }
    case TypeKind::Tuple: {
        std::vector<Values> fields(type.elements.size());
        for (size_t f = 0; f < fields.size(); ++f) {
            fields[f].reserve(rows);
            column(type.elements[f], rows, zone, fields[f]);
        }
        for (size_t i = 0; i < rows; ++i) {
            auto tuple = PendingSequence::tuple(static_cast<Py_ssize_t>(fields.size()));
            for (size_t f = 0; f < fields.size(); ++f)
                tuple.set_tuple_item(static_cast<Py_ssize_t>(f), std::move(fields[f][i]));
            out.push_back(tuple.finish());
        }
        return;
    }
    case TypeKind::Map: {
        const std::vector<uint64_t> ends = offsets(rows);
        Values keys, values;
        column(type.elements[0], elements(ends), zone, keys);
        column(type.elements[1], elements(ends), zone, values);
        uint64_t begin = 0;
        for (uint64_t end : ends) {
            nb::dict map;
            for (uint64_t i = begin; i < end; ++i)
                map[keys[i]] = values[i];
            out.push_back(std::move(map));
            begin = end;
        }
        return;
    }
    case TypeKind::LowCardinality:
        low_cardinality(type, rows, zone, out);
        return;
    case TypeKind::Nothing:
        in_.take(rows);
        out.insert(out.end(), rows, nb::none());
        return;
    case TypeKind::Variant:
    case TypeKind::Dynamic:
    case TypeKind::JSON:
        throw std::invalid_argument("unsupported column type: " + type.name +
                                    " (in a Native answer)");
    default:
        scalars(type, rows, zone, out);
    }
}

void NativeReader::scalars(const ColumnType& type, size_t rows, const Zone& zone, Values& out) {
    switch (type.kind) {
    case TypeKind::UInt8:
        return fixed_values<uint8_t>(rows, out, PyLong_FromUnsignedLong);
    case TypeKind::UInt16:
        return fixed_values<uint16_t>(rows, out, PyLong_FromUnsignedLong);
    case TypeKind::UInt32:
        return fixed_values<uint32_t>(rows, out, PyLong_FromUnsignedLong);
    case TypeKind::UInt64:
        return fixed_values<uint64_t>(rows, out, PyLong_FromUnsignedLongLong);
    case TypeKind::Int8:
        return fixed_values<int8_t>(rows, out, PyLong_FromLong);
    case TypeKind::Int16:
        return fixed_values<int16_t>(rows, out, PyLong_FromLong);
    case TypeKind::Int32:
        return fixed_values<int32_t>(rows, out, PyLong_FromLong);
    case TypeKind::Int64:
        return fixed_values<int64_t>(rows, out, PyLong_FromLongLong);
    case TypeKind::Float32:
        return fixed_values<float>(rows, out, PyFloat_FromDouble);
    case TypeKind::Float64:
        return fixed_values<double>(rows, out, PyFloat_FromDouble);
    case TypeKind::String: {
        TextCache texts;
        for (size_t i = 0; i < rows; ++i)
            out.push_back(texts.text(in_.string()));
        return;
    }
    default:
        for (size_t i = 0; i < rows; ++i)
            out.push_back(in_.scalar(type, zone));
    }
}

} // namespace

namespace {

/// One column of a block, giving its values row by row. A scalar column, Nullable or not, is
/// read from its own bytes in step with the other columns, so that a row's values are made
/// together and its tuple is written once while it is at hand; any other column's values are
/// made beforehand, the whole column at once.
class BlockColumn {
public:
    BlockColumn(NativeReader& reader, const ColumnType& type, size_t rows, Zone zone)
        : zone_(std::move(zone)), row_wise_(is_scalar_column(type)) {
        BinaryReader& in = reader.in();
        if (!row_wise_) {
            values_.reserve(rows);
            reader.column(type, rows, zone_, values_);
            return;
        }
        const bool nullable = type.kind == TypeKind::Nullable;
        scalar_type_ = nullable ? type.elements[0] : type;
        if (nullable) nulls_ = in.take(rows);
        bytes_ = BinaryReader(in.values(scalar_type_, rows));
    }

    nb::object value(size_t row) {
        if (!row_wise_) return std::move(values_[row]);
        const bool null = nulls_ && nulls_[row];
        if (scalar_type_.kind == TypeKind::String) {
            const std::string_view text = bytes_.string();
            return null ? nb::none() : texts_.text(text);
        }
        if (null) {
            bytes_.take(scalar_width(scalar_type_));
            return nb::none();
        }
        return bytes_.scalar(scalar_type_, zone_);
    }

private:
    static bool is_scalar_column(const ColumnType& type) {
        return is_scalar(type.kind == TypeKind::Nullable ? type.elements[0].kind : type.kind);
    }

    Zone zone_;
    bool row_wise_;
    ColumnType scalar_type_;
    const char* nulls_ = nullptr;
    BinaryReader bytes_{{}};
    TextCache texts_;
    Values values_;
};

/// The type of a column named "DateTime" in the answer: servers that strip a column's time zone
/// from its name there ("DateTime('Asia/Tokyo')" becomes "DateTime") have it in the statement's
/// description, asked of `column_types` once per answer.
class DescribedTypes {
public:
    explicit DescribedTypes(nb::handle column_types) : column_types_(column_types) {}

    ColumnType type(std::string_view name, size_t column, size_t count) {
        ColumnType type = parse_column_type(name);
        if (name != "DateTime" || column_types_.is_none()) return type;
        if (!asked_) {
            described_ = column_types_();
            asked_ = true;
        }
        if (described_.is_none() || nb::len(described_) != count) return type;
        nb::object described = described_[column];
        if (!nb::isinstance<nb::str>(described)) return type;
        ColumnType zoned = parse_column_type(utf8(described));
        return zoned.kind == TypeKind::DateTime ? zoned : type;
    }

private:
    nb::handle column_types_;
    nb::object described_;
    bool asked_ = false;
};

} // namespace

nb::list decode_native(std::string_view data, const Zone& zone, nb::handle column_types) {
    nb::list rows;
    NativeReader reader(data);
    BinaryReader& in = reader.in();
    DescribedTypes described(column_types);
    std::vector<BlockColumn> columns;
    std::vector<std::string_view> names;
    while (!in.done()) {
        const uint64_t count = in.varint(), block_rows = in.varint();
        // Every column's value takes a byte at least: rows beyond the bytes left are refused
        // before anything is made for them. Rows of no columns take none: they would not end.
        if (block_rows && !count) malformed();
        if (count > in.remaining() || block_rows > in.remaining())
            throw std::invalid_argument("truncated result data");
        columns.clear();
        columns.reserve(static_cast<size_t>(count));
        names.clear();
        for (size_t c = 0; c < count; ++c) {
            names.push_back(in.string());
            const ColumnType type = described.type(in.string(), c, static_cast<size_t>(count));
            columns.emplace_back(reader, type, static_cast<size_t>(block_rows),
                                 zone.named(named_timezone(type)));
        }
        const nb::object shape = row_shape(names);
        for (size_t i = 0; i < block_rows; ++i) {
            auto row = PendingSequence::row(shape, static_cast<Py_ssize_t>(count));
            for (size_t c = 0; c < count; ++c)
                row.set_tuple_item(static_cast<Py_ssize_t>(c), columns[c].value(i));
            rows.append(row.finish());
        }
    }
    return rows;
}

} // namespace kelvora::clickhouse
