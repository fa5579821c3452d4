// The SQL texts of a table-query router.
#include "rowquery/statements.hpp"

namespace kelvora::rowquery {

std::string where_clause(const TableRequest& request) {
    return request.conditions.clause.empty() ? "" : " WHERE " + request.conditions.clause;
}

namespace {

/// A page in the table's own order without filters or skipped rows: the limit's rows of the key
/// range that starts at its cursor (or at the table's start), a granule or two.
bool reads_key_range(const TableRequest& request) {
    return request.keyset_order && !request.filtered && request.offset == 0;
}

} // namespace

std::string select_statement(const Router& r, const TableRequest& request,
                             const std::vector<size_t>& fetched, bool limit_and_offset) {
    const bool key_range = limit_and_offset && reads_key_range(request);
    std::string sql = "SELECT ";
    for (size_t i = 0; i < fetched.size(); ++i)
        sql += (i ? ", " : "") + r.columns[fetched[i]].quoted;
    sql += " FROM " + r.table;
    if (key_range && r.reads_prewhere && !request.conditions.clause.empty())
        // The cursor's key condition as PREWHERE: the engine reads the key column first and the
        // others only for the rows it keeps, and spends no planning on moving conditions there.
        sql += " PREWHERE " + request.conditions.clause;
    else
        sql += where_clause(request);
    for (size_t i = 0; i < request.order.size(); ++i) {
        sql += i ? ", " : " ORDER BY ";
        sql += r.columns[request.order[i].first].quoted;
        if (request.order[i].second) sql += " DESC";
    }
    if (limit_and_offset) {
        sql += " LIMIT %(limit)s";
        // A cursor page starts where its condition does: no OFFSET for the engine to plan.
        if (request.offset > 0) sql += " OFFSET %(offset)s";
    }
    // One thread reads those few granules in order sooner than several streams merged together.
    if (key_range) sql += " SETTINGS max_threads = 1";
    return sql;
}

std::string count_statement(const Router& r, const TableRequest& request) {
    return "SELECT count() FROM " + r.table + where_clause(request);
}

std::string database_condition(const Router& r) {
    return r.database.is_none() ? "database = currentDatabase()" : "database = %(database)s";
}

std::string estimate_statement(const Router& r, const TableRequest& request) {
    if (r.features.explain_estimate())
        // A column is read, not count(), which the engine answers from the parts' metadata
        // without selecting granules.
        return "EXPLAIN ESTIMATE SELECT " + r.columns[0].quoted + " FROM " + r.table +
               where_clause(request);
    return "SELECT sum(rows) FROM system.parts WHERE active AND " + database_condition(r) +
           " AND table = %(table)s";
}

std::string newest_mutation_statement(const Router& r) {
    // Ids of one table grow (mutation_9.txt, mutation_10.txt; zero-padded on replicas), so the
    // longest, then the greatest, of the newest second is the newest.
    return "SELECT mutation_id, command, is_done FROM system.mutations WHERE " +
           database_condition(r) +
           " AND table = %(table)s ORDER BY create_time DESC, length(mutation_id) DESC, "
           "mutation_id DESC LIMIT 1";
}

std::string mutation_statement(const Router& r) {
    std::string columns = "mutation_id, command, create_time, parts_to_do, is_done";
    if (r.features.latest_fail_reason()) columns += ", latest_fail_reason";
    return "SELECT " + columns + " FROM system.mutations WHERE " + database_condition(r) +
           " AND table = %(table)s AND mutation_id = %(mutation_id)s";
}

} // namespace kelvora::rowquery
