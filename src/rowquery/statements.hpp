// The SQL texts of a table-query router: the table's name as the host gave it, column names as
// quoted identifiers of the engine's own columns, values as placeholders.
#pragma once

#include "rowquery/router.hpp"
#include "rowquery/table_request.hpp"

#include <string>
#include <vector>

namespace kelvora::rowquery {

/// " WHERE {conditions}" (empty without conditions).
std::string where_clause(const TableRequest& request);

/// "SELECT {columns} FROM {table}{where}{ORDER BY ...}", and with `limit_and_offset`
/// " LIMIT %(limit)s", then " OFFSET %(offset)s" when the request skips rows. A page in the
/// table's own order without filters or skipped rows reads a small key range: its cursor's
/// condition is a PREWHERE on a MergeTree table, and it reads with " SETTINGS max_threads = 1".
std::string select_statement(const Router& r, const TableRequest& request,
                             const std::vector<size_t>& fetched, bool limit_and_offset);

/// "SELECT count() FROM {table}{where}".
std::string count_statement(const Router& r, const TableRequest& request);

/// The engine's own estimate of the rows a filter reads: EXPLAIN ESTIMATE where the engine has
/// it (the rows of the granules the filter selects), else the active parts' rows, an upper bound.
std::string estimate_statement(const Router& r, const TableRequest& request);

/// "{database} = %(database)s", or the current database when the table's name has none.
std::string database_condition(const Router& r);

/// The newest mutation of the table, as system.mutations holds it.
std::string newest_mutation_statement(const Router& r);

/// One mutation of the table by its id.
std::string mutation_statement(const Router& r);

} // namespace kelvora::rowquery
