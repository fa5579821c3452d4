// Decoders of the engine's answers into rows of Python values.
#pragma once

#include "clickhouse/values.hpp"

#include <string_view>

namespace kelvora::clickhouse {

/// Rows of a RowBinaryWithNamesAndTypes answer, as a list of tuples; `[]` for an empty answer.
nb::list decode_row_binary(std::string_view data, const Zone& zone);

/// Rows of a TabSeparatedWithNamesAndTypes answer, as a list of tuples; `[]` for an empty answer.
nb::list decode_tab_separated(std::string_view data, const Zone& zone);

} // namespace kelvora::clickhouse
