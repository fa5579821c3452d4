// Values checked against their column's type before they travel: text from a query string (or a
// cursor) becomes the Python value the client binds, and a JSON value of an ingested row becomes
// the JSON value the engine reads.
#pragma once

#include "rowquery/column_types.hpp"

#include <nanobind/nanobind.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace kelvora::rowquery {

namespace nb = nanobind;

/// A value that does not fit its column; the text says why ("'300' is out of range for UInt8").
struct ValueRefused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// The value of `text` for a column of `type`: an `int`, `float`, `bool`, `decimal.Decimal`,
/// `datetime.date`, `datetime.datetime` (naive, taken as UTC), `uuid.UUID`, an `ipaddress`
/// address or a `str` (text, Enum labels). Throws ValueRefused.
nb::object value_from_text(const ColumnType& type, std::string_view text);

/// A JSON value (as `json.loads` gives it) checked for a column of `type`, in the form the
/// engine's JSON formats read: times as "YYYY-MM-DD hh:mm:ss[.ffffff]", addresses and UUIDs in
/// their canonical text, everything else as given. Throws ValueRefused.
nb::object value_for_insert(const ColumnType& type, nb::handle value);

/// The text a value decoded from the engine has in a cursor, which `value_from_text` reads back.
std::string cursor_text(nb::handle value);

} // namespace kelvora::rowquery
