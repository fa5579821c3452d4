// Text of values and SQL literals: every value that reaches SQL text goes through one of these.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <string_view>

namespace kelvora {

namespace nb = nanobind;

/// UTF-8 of a `str` object. Lone surrogates pass through (as Python's "surrogatepass"), so every
/// `str` has a text and `to_str` gives the same `str` back.
std::string utf8(nb::handle text);

/// The UTF-8 of a `str` object (as `utf8` makes it) read where Python keeps it, without a copy;
/// only a text with a lone surrogate is encoded into bytes this object holds. Valid while the
/// `str` lives.
class Utf8Text {
public:
    explicit Utf8Text(nb::handle text);
    std::string_view view() const { return view_; }

private:
    nb::object encoded_;
    std::string_view view_;
};

/// Appends the UTF-8 of a `str` object, as `utf8` makes it.
void append_utf8(std::string& out, nb::handle text);

/// Python's `format(value, "")`: the text of a value wherever it enters a message or SQL text.
std::string py_format(nb::handle value);

/// Appends `format(value, "")` to `out` (no copy for `str` values).
void append_format(std::string& out, nb::handle value);

/// Where a ClickHouse string literal goes: into final statement text, or into a statement that a
/// client still binds (`%(name)s` placeholders, `%%`), where a percent sign would be read as one.
enum class LiteralUse { Final, Template };

/// ClickHouse string literal: quoted, with `\`, `'` and the control characters that have a
/// backslash escape (NUL, \a \b \t \n \v \f \r) escaped, so no text can end it early. In a
/// template `%` is written `\x25`, which the engine reads as `%` and no binding changes.
std::string clickhouse_string_literal(std::string_view text, LiteralUse use = LiteralUse::Final);

/// Appends the ClickHouse string literal of `text`.
void append_clickhouse_string_literal(std::string& out, std::string_view text,
                                      LiteralUse use = LiteralUse::Final);

/// Appends the ClickHouse string literal of raw bytes: as text, with every other byte outside
/// printable ASCII written `\xHH`.
void append_clickhouse_bytes_literal(std::string& out, std::string_view bytes);

/// Standard SQL string literal (DuckDB): quoted, with `'` doubled; backslash is no escape there.
std::string sql_string_literal(std::string_view text);

/// Where the first text without a UTF-8 form (a lone surrogate) is inside `value`: among the keys
/// and values of dicts and the items of lists and tuples, as a path such as `a.b[2]` (a key that
/// is such text itself is shown escaped); none when every text can be encoded. Such text would be
/// stored as invalid UTF-8, or break every answer that holds it.
std::optional<std::string> text_without_utf8(nb::handle value);

/// A `str` object from UTF-8 (NULs and passed-through surrogates included).
nb::str to_str(std::string_view text);

/// The contents of a `bytes` object, without a copy; valid while the object lives. Anything
/// else raises TypeError.
std::string_view bytes_view(nb::handle bytes);

} // namespace kelvora
