// Values in the engine's binary encoding, read from an answer: little-endian numbers,
// length-prefixed strings, and the scalar types' Python values.
#pragma once

#include "clickhouse/column_types.hpp"
#include "clickhouse/values.hpp"

#include <array>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace kelvora::clickhouse {

/// The bytes a value of a scalar type takes in the binary encoding; 0 for String, whose values
/// carry their length.
size_t scalar_width(const ColumnType& type);

/// The dates of one answer, each made once: a day column holds few distinct days, and a date is
/// immutable, so rows of the same day share one.
class DateCache {
public:
    nb::object date(int64_t days) {
        Slot& slot = slots_[static_cast<uint64_t>(days) % slots_.size()];
        if (!slot.date.is_valid() || slot.days != days) {
            slot.date = date_from_days(days);
            slot.days = days;
        }
        return slot.date;
    }

private:
    struct Slot {
        int64_t days = 0;
        nb::object date;
    };
    std::array<Slot, 512> slots_;
};

class BinaryReader {
public:
    explicit BinaryReader(std::string_view data) : data_(data) {}

    bool done() const { return at_ >= data_.size(); }
    size_t position() const { return at_; }
    size_t remaining() const { return data_.size() - at_; }

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

    uint64_t varint();

    std::string_view string() {
        const uint64_t size = varint();
        return {take(size), size};
    }

    /// A count of values to follow, each of at least `least_bytes` bytes: a count beyond the
    /// bytes left is refused before anything is made for it.
    uint64_t count(uint64_t least_bytes = 1) {
        const uint64_t count = varint();
        if (count > (data_.size() - at_) / least_bytes)
            throw std::invalid_argument("truncated result data");
        return count;
    }

    /// The bytes of `rows` values of a scalar type, passed over.
    std::string_view values(const ColumnType& type, size_t rows) {
        const size_t start = at_;
        if (const size_t width = scalar_width(type)) {
            take(rows * width);
        } else {
            for (size_t i = 0; i < rows; ++i)
                string();
        }
        return data_.substr(start, at_ - start);
    }

    /// The value of a scalar type (neither composite nor Nullable, LowCardinality, Variant,
    /// Dynamic or JSON); datetimes without a zone of their own are shown in `zone`.
    nb::object scalar(const ColumnType& type, const Zone& zone);

private:
    nb::object wide_integer(size_t bytes, bool is_signed);
    nb::object decimal(const ColumnType& type);

    std::string_view data_;
    size_t at_ = 0;
    DateCache dates_;
};

/// The type of a Dynamic value, in the engine's binary type encoding at the reader's position,
/// `depth` composite types down.
ColumnType read_binary_type(BinaryReader& reader, int depth = 0);

/// The time zone a column's datetimes are shown in: the first one its type names, if any.
std::string_view named_timezone(const ColumnType& type);

} // namespace kelvora::clickhouse
