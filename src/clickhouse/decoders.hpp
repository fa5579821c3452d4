// Decoders of the engine's answers into rows of Python values.
#pragma once

#include "clickhouse/values.hpp"

#include <string_view>

namespace kelvora::clickhouse {

/// Rows of a RowBinaryWithNamesAndTypes answer, as a list of tuples; `[]` for an empty answer.
nb::list decode_row_binary(std::string_view data, const Zone& zone);

/// Rows of a Native answer (blocks of columns), as a list of tuples; `[]` for an empty answer.
/// `column_types` (None, or a callable giving the statement's column type names, or None) is
/// asked for the time zone of a column the answer names "DateTime" alone.
nb::list decode_native(std::string_view data, const Zone& zone, nb::handle column_types);

/// Rows of a TabSeparatedWithNamesAndTypes answer, as a list of tuples; `[]` for an empty answer.
nb::list decode_tab_separated(std::string_view data, const Zone& zone);

} // namespace kelvora::clickhouse
