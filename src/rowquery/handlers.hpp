// The request handlers of a table-query router: coroutine functions whose closure is the router
// object, each taking the framework's `Request` (the query string is read whole, so a column it
// names that the table lacks is refused rather than ignored).
#pragma once

#include "native/function.hpp"

namespace kelvora::rowquery {

FunctionSpec query_rows_spec();
FunctionSpec export_rows_spec();
FunctionSpec ingest_rows_spec();
FunctionSpec update_rows_spec();
FunctionSpec delete_rows_spec();
FunctionSpec get_mutation_spec();

} // namespace kelvora::rowquery
