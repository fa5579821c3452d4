// ClickHouse literals of Python values that have no literal of their own in SQL: dates and times,
// intervals, decimals, UUIDs, addresses, enum members.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace kelvora::clickhouse {

namespace nb = nanobind;

/// Makes the datetime C API available to the literals (each translation unit holds its own
/// pointer to it); module execution calls it once, after `init_values`.
void init_value_literals();

/// Appends the ClickHouse literal of a date, datetime, time or timedelta (an interval) ('2024-01-02
/// 03:04:05[.ffffff]'); an aware datetime is its instant (`toDateTime('<UTC time>', 'UTC')`, or
/// `toDateTime64(..., 6, 'UTC')` with microseconds or outside 1970 to 2105). False when `value` is
/// none of them.
bool append_temporal_literal(std::string& out, nb::handle value);

/// True for instances of decimal.Decimal, uuid.UUID and the ipaddress classes, whose literal is
/// their text (quoted for UUIDs and addresses).
bool is_decimal(nb::handle value);
/// True for members of an enum.Enum, which bind as their value.
bool is_enum(nb::handle value);
bool is_quoted_as_text(nb::handle value);

/// Appends the quoted text of a UUID ('01234567-89ab-...'); false when `value` is no UUID.
bool append_uuid_literal(std::string& out, nb::handle value);

} // namespace kelvora::clickhouse
