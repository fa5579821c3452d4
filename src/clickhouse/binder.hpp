// Parameter binding: `%(name)s` placeholders of a statement replaced by ClickHouse literals.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace kelvora::clickhouse {

namespace nb = nanobind;

/// The statement with each `%(name)s` replaced by the literal of `params[name]` and each `%%` by
/// `%`; with `params` None the statement is returned untouched. A missing name raises KeyError.
/// Aware datetimes are written as their instant, so no zone is needed to read them; `datetime64`
/// says whether the server has DateTime64, which a datetime with microseconds needs.
nb::object bind(nb::handle query, nb::handle params, bool datetime64);

/// Appends the ClickHouse literal of one value; TypeError for a value without one.
void append_literal(std::string& out, nb::handle value, bool datetime64);

} // namespace kelvora::clickhouse
