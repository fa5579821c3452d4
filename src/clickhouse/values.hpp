// Python values of ClickHouse column types: dates and times, decimals, UUIDs, addresses.
#pragma once

#include "clickhouse/column_types.hpp"

#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvora::clickhouse {

namespace nb = nanobind;

/// Makes the datetime C API and the value classes available; module execution calls it once.
void init_values();

/// The classes values are made of, imported once with the module.
struct ValueClasses {
    nb::object decimal, uuid, ipv4, ip_address, zone_info, utc, ip_classes, enumeration;
};
const ValueClasses& value_classes();

/// The time zone in which epoch times become naive datetimes: UTC (fast path) or a tzinfo.
class Zone {
public:
    /// `tzinfo` None means UTC.
    explicit Zone(nb::handle tzinfo);
    /// A naive datetime of the wall-clock time at `seconds` (+ `microseconds`) since the epoch.
    nb::object datetime(int64_t seconds, int microseconds) const;
    /// A zone named by a column type ("Europe/Berlin"), or this one when the name is empty.
    Zone named(std::string_view name) const;

private:
    nb::object tzinfo_;
};

nb::object date_from_days(int64_t days);

/// Whole seconds and microseconds (truncated below) of `ticks` of 10^-`scale` seconds, the
/// microseconds in 0..999999 also before the epoch.
struct SecondsAndMicroseconds {
    int64_t seconds;
    int microseconds;
};
SecondsAndMicroseconds split_ticks(int64_t ticks, int scale);

/// A `timedelta` of `ticks` of 10^-`scale` seconds (Time, Time64), truncated below a microsecond.
nb::object timedelta_from_ticks(int64_t ticks, int scale);
/// A Time or Time64 from its text ("-25:01:02", "100:00:00.123456"), as its ticks would give it.
nb::object time_from_text(std::string_view text, int scale);
/// An Interval's value: a `timedelta` for units of a fixed length of whole microseconds (weeks
/// down to microseconds), else the count of its units (months, quarters, years, nanoseconds).
nb::object interval_value(const ColumnType& type, int64_t count);
/// A BFloat16 from the upper half of a Float32's bits.
nb::object float_from_bfloat16(uint16_t bits);
/// A BFloat16 from its text: the number rounded to the nearest BFloat16, as its bits give it.
nb::object bfloat16_from_text(double value);
/// A `Decimal` of `digits` (an integer's decimal text, maybe signed) scaled down by `scale`.
nb::object decimal_from_digits(std::string_view digits, int scale);
nb::object decimal_from_text(std::string_view text);
nb::object uuid_from_halves(uint64_t high, uint64_t low);
nb::object uuid_from_text(std::string_view text);
nb::object ipv4_from_int(uint32_t address);
nb::object ip_from_text(std::string_view text);
nb::object ipv6_from_bytes(const unsigned char* bytes);
/// A str of UTF-8 text, or the bytes themselves when they are not valid UTF-8.
nb::object text_or_bytes(std::string_view data);
/// The short texts of one column of an answer, each made once while the column repeats them (a
/// status, a country, a tag): rows holding the same text share one str, which saves its making,
/// its freeing and its memory. A column whose first texts hardly repeat is no longer looked up.
class TextCache {
public:
    nb::object text(std::string_view data);

private:
    static constexpr size_t longest = 22;
    struct Slot {
        uint8_t size = 0;
        char bytes[longest];
        nb::object text;
    };
    std::array<Slot, 64> slots_;
    uint32_t looked_up_ = 0, found_ = 0;
};

/// A naive datetime from "YYYY-MM-DD hh:mm:ss[.fraction]".
nb::object datetime_from_text(std::string_view text);
nb::object date_from_text(std::string_view text);

} // namespace kelvora::clickhouse
