// PATCH and DELETE "/rows/": update or delete the rows of the filters as one mutation (a
// lightweight DELETE where the router uses it), answering the mutation's id; GET
// "/mutations/{mutation_id}/": that mutation's status as system.mutations holds it.
#include "rowquery/handlers.hpp"
#include "rowquery/router.hpp"
#include "rowquery/statements.hpp"
#include "rowquery/table_request.hpp"
#include "rowquery/typed_values.hpp"

#include "native/calls.hpp"
#include "native/errors.hpp"
#include "native/handler_guard.hpp"
#include "native/keyed_locks.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

#include <algorithm>

namespace kelvora::rowquery {

namespace {

TableRequest filters_of(const Router& r, nb::handle request, const char* doing) {
    TableRequest q = read_table_request(r, request.attr("query_params").attr("multi_items")(),
                                        Purpose::Mutation);
    if (q.conditions.clause.empty())
        raise_http_error(422, std::string(doing) + " needs at least one filter");
    return q;
}

/// The `SET` list of an update: each field a column outside the table's keys, its value typed.
std::string assignments(const Router& r, nb::handle changes, Conditions& conditions) {
    if (!PyDict_Check(changes.ptr()) || PyDict_GET_SIZE(changes.ptr()) == 0)
        raise_http_error(422, "An update names at least one field");
    std::string set;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(changes.ptr(), &position, &key, &value)) {
        std::string field = utf8(key);
        const Column& column = r.column(field, "update");
        if (!column.insertable || column.in_key)
            raise_http_error(422, "Field " + field + ": a key or computed column is not updated");
        nb::object checked;
        try {
            checked = value_for_insert(column.type, value);
        } catch (const ValueRefused& refused) {
            raise_http_error(422, "Field " + field + ": " + refused.what());
        }
        set += (set.empty() ? "" : ", ") + column.quoted + " = " + conditions.bind(checked);
    }
    return set;
}

nb::object mutation_answer(const Router& r, nb::handle rows) {
    if (!is_true(rows)) return nb::none();
    nb::object row = item(rows, 0);
    nb::object id = item(row, 0);
    nb::object status = nb::str("{}/mutations/{}/").format(r.prefix, id);
    return ordered({{KELVORA_NAME("mutation_id"), id},
                    {KELVORA_NAME("command"), item(row, 1)},
                    {KELVORA_NAME("is_done"), nb::bool_(is_true(item(row, 2)))},
                    {KELVORA_NAME("status"), status}});
}

/// Runs a mutation and reads its id: one mutation of the table at a time in this process, so
/// the newest one is this one.
Task mutate(nb::object state, nb::object sql, nb::object params) {
    Router& r = state_of<Router>(state);
    nb::object lock = keyed_lock(nb::make_tuple(module_name, "mutations", r.table_name));
    co_await call_method(lock, KELVORA_NAME("acquire"));
    HeldLock held(lock);
    co_await r.execute(sql, params);
    nb::object rows =
        co_await r.execute(to_str(newest_mutation_statement(r)), r.table_parameters());
    co_return mutation_answer(r, rows);
}

Task update_rows(nb::object state, nb::object request, nb::object changes) {
    Router& r = state_of<Router>(state);
    try {
        TableRequest q = filters_of(r, request, "An update");
        std::string set = assignments(r, changes, q.conditions);
        std::string sql = "ALTER TABLE " + r.table + " UPDATE " + set + where_clause(q);
        nb::object answer = co_await start(mutate(state, to_str(sql), q.conditions.parameters),
                                           KELVORA_NAME("mutate"));
        r.log.info("Updated rows of " + r.table);
        co_return answer;
    } catch (...) {
        r.fail("updating", "Failed to update records: ");
    }
}

Task delete_rows(nb::object state, nb::object request) {
    Router& r = state_of<Router>(state);
    try {
        TableRequest q = filters_of(r, request, "A delete");
        std::string sql = r.lightweight_delete
                              ? "DELETE FROM " + r.table + where_clause(q)
                              : "ALTER TABLE " + r.table + " DELETE" + where_clause(q);
        nb::object answer = co_await start(mutate(state, to_str(sql), q.conditions.parameters),
                                           KELVORA_NAME("mutate"));
        r.log.info("Deleted rows of " + r.table);
        co_return answer;
    } catch (...) {
        r.fail("deleting from", "Failed to delete records: ");
    }
}

Task get_mutation(nb::object state, nb::object mutation_id) {
    Router& r = state_of<Router>(state);
    try {
        nb::dict params = r.table_parameters();
        params["mutation_id"] = mutation_id;
        nb::object rows = co_await r.execute(to_str(mutation_statement(r)), params);
        if (!is_true(rows))
            raise_http_error(404, "No mutation " + py_format(mutation_id) + " of " + r.table);
        nb::object row = item(rows, 0);
        nb::dict answer = ordered({{KELVORA_NAME("mutation_id"), item(row, 0)},
                                   {KELVORA_NAME("command"), item(row, 1)},
                                   {KELVORA_NAME("create_time"), item(row, 2)},
                                   {KELVORA_NAME("parts_to_do"), item(row, 3)},
                                   {KELVORA_NAME("is_done"), nb::bool_(is_true(item(row, 4)))}});
        answer["latest_fail_reason"] =
            r.features.latest_fail_reason() ? item(row, 5) : nb::object(nb::none());
        co_return answer;
    } catch (...) {
        r.fail("reading a mutation of", "Failed to read the mutation: ");
    }
}

} // namespace

FunctionSpec update_rows_spec() {
    return {.name = "update_rows",
            .qualname = "create_query_router.<locals>.update_rows",
            .module = module_name,
            .doc = "Update the records of the filters as one mutation",
            .parameters = {{"request"}, {"changes"}},
            .coroutine = coroutine_body<update_rows>()};
}

FunctionSpec delete_rows_spec() {
    return {.name = "delete_rows",
            .qualname = "create_query_router.<locals>.delete_rows",
            .module = module_name,
            .doc = "Delete the records of the filters as one mutation",
            .parameters = {{"request"}},
            .coroutine = coroutine_body<delete_rows>()};
}

FunctionSpec get_mutation_spec() {
    return {.name = "get_mutation",
            .qualname = "create_query_router.<locals>.get_mutation",
            .module = module_name,
            .doc = "Show a mutation's status",
            .parameters = {{"mutation_id"}},
            .coroutine = coroutine_body<get_mutation>()};
}

} // namespace kelvora::rowquery
