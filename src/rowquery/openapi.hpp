// What OpenAPI shows of a table-query route: the handlers read their query string whole, so each
// parameter is declared here, every filterable column with its own operators and value type.
#pragma once

#include "rowquery/router.hpp"

#include <nanobind/nanobind.h>

namespace kelvora::rowquery {

namespace nb = nanobind;

/// One query parameter per filterable column: repeatable, each value "operator.value" with the
/// column's operators as the pattern.
nb::list filter_parameters(const Router& r);

/// The parameters of the page route: select, order, limit, offset, cursor, count, then filters.
nb::list page_parameters(const Router& r);

/// The parameters of the export route: format, select, order, limit, then filters.
nb::list export_parameters(const Router& r);

/// The route option `openapi_extra` declaring `parameters` (and a request body when given).
nb::dict openapi_extra(nb::handle parameters, nb::handle request_body = nb::handle());

/// The bulk route's parameters: its Idempotency-Key header.
nb::list bulk_parameters();

/// The bulk route's request body: its four media types.
nb::dict bulk_request_body();

} // namespace kelvora::rowquery
