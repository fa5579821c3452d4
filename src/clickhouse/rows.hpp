// Rows of an answer: tuples of the columns' values that are also read by column name.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>
#include <vector>

namespace kelvora::clickhouse {

namespace nb = nanobind;

/// Makes the Row class; module execution calls it once.
void init_rows();
nb::handle row_class();

/// What the rows of one answer share: their column names, in order, and where each name is. One
/// is kept for each set of names, so that the answers of one statement share it.
nb::object row_shape(const std::vector<std::string_view>& names);

/// A new row of `size` values of `shape` with its slots empty, out of the collector's sight
/// (`PendingSequence::row` fills and finishes it).
PyObject* new_row(nb::handle shape, Py_ssize_t size);

} // namespace kelvora::clickhouse
