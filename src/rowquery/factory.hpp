// create_query_router: the factory of kelvora.rowquery.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora::rowquery {

namespace nb = nanobind;

/// The factory function, closed over the module it is created in.
nb::object make_create_query_router(nb::handle module);

} // namespace kelvora::rowquery
