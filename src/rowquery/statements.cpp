// The SQL texts of a table-query router.
#include "rowquery/statements.hpp"

namespace kelvora::rowquery {

std::string where_clause(const TableRequest& request) {
    return request.conditions.clause.empty() ? "" : " WHERE " + request.conditions.clause;
}

std::string select_statement(const Router& r, const TableRequest& request,
                             const std::vector<size_t>& fetched, bool limit_and_offset) {
    std::string sql = "SELECT ";
    for (size_t i = 0; i < fetched.size(); ++i)
        sql += (i ? ", " : "") + r.columns[fetched[i]].quoted;
    sql += " FROM " + r.table + where_clause(request);
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
