// Text of values and SQL literals: every value that reaches SQL text goes through one of these.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace kelvora {

namespace nb = nanobind;

/// UTF-8 of a `str` object. Lone surrogates pass through (as Python's "surrogatepass"), so every
/// `str` has a text and `to_str` gives the same `str` back.
std::string utf8(nb::handle text);

/// Appends the UTF-8 of a `str` object, as `utf8` makes it.
void append_utf8(std::string& out, nb::handle text);

/// Python's `format(value, "")`: the text of a value wherever it enters a message or SQL text.
std::string py_format(nb::handle value);

/// Appends `format(value, "")` to `out` (no copy for `str` values).
void append_format(std::string& out, nb::handle value);

/// ClickHouse string literal: quoted, with `\`, `'` and the control characters that have a
/// backslash escape (NUL, \a \b \t \n \v \f \r) escaped, so no text can end it early.
std::string clickhouse_string_literal(std::string_view text);

/// Appends the ClickHouse string literal of `text`.
void append_clickhouse_string_literal(std::string& out, std::string_view text);

/// Appends the ClickHouse string literal of raw bytes: as text, with every other byte outside
/// printable ASCII written `\xHH`.
void append_clickhouse_bytes_literal(std::string& out, std::string_view bytes);

/// Standard SQL string literal (DuckDB): quoted, with `'` doubled; backslash is no escape there.
std::string sql_string_literal(std::string_view text);

/// A `str` object from UTF-8 (NULs and passed-through surrogates included).
nb::str to_str(std::string_view text);

} // namespace kelvora
