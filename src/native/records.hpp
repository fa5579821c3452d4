// Records: dicts built from pairs, and from positional rows (column names paired with a row's
// values, position by position).
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>

namespace kelvora {

namespace nb = nanobind;

/// A new dict of `key: value` pairs, in order.
nb::dict ordered(std::initializer_list<std::pair<nb::handle, nb::handle>> entries);

/// `value[index]`, as Python's subscription does it.
nb::object item(nb::handle value, Py_ssize_t index);

/// Element `[0]` of each row of a DESCRIBE TABLE answer, in order.
nb::list column_names(nb::handle describe_rows);

/// The names of the columns `SELECT *` answers, in its order: `column_names` without the
/// MATERIALIZED, ALIAS and EPHEMERAL columns (a row's element `[2]`, where it has one).
nb::list selected_column_names(nb::handle describe_rows);

/// One dict per row pairing `columns` with the row's values; pairs stop at the shorter of the two.
nb::dict record_from_row(nb::handle columns, nb::handle row);

/// `record_from_row` for each row, in a new list.
nb::list records_from_rows(nb::handle columns, nb::handle rows);

} // namespace kelvora
