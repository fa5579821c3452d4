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

/// Appends the ClickHouse literal of a date, datetime, time or timedelta (an interval); false
/// when `value` is none of them. A naive datetime is its wall-clock text ('2024-01-02 03:04:05'),
/// an aware one its instant (`toDateTime('<UTC time>', 'UTC')`). One with microseconds, or an
/// aware one outside 1970 to 2105, needs a DateTime64: `toDateTime64('<time>.ffffff', 6[, 'UTC'])`
/// where the server has it (`datetime64`), else its whole seconds as `toDateTime(...)`.
bool append_temporal_literal(std::string& out, nb::handle value, bool datetime64);

/// Appends the literal of a decimal.Decimal (as `Decimal.__str__` writes its number, whatever a
/// subclass says); false when `value` is no Decimal.
bool append_decimal_literal(std::string& out, nb::handle value);

/// Appends the quoted text of a UUID ('01234567-89ab-...'); false when `value` is no UUID.
bool append_uuid_literal(std::string& out, nb::handle value);

/// True for instances of the ipaddress classes, whose literal is their quoted text.
bool is_quoted_as_text(nb::handle value);
/// True for members of an enum.Enum, which bind as their value.
bool is_enum(nb::handle value);

} // namespace kelvora::clickhouse
