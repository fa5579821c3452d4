// The read handlers: list_records (GET "/") and get_record (GET on the key path), and the client
// dependency every route declares.
#include "rowplane/handlers.hpp"
#include "rowplane/router.hpp"
#include "rowplane/statements.hpp"

#include "native/errors.hpp"
#include "native/framework.hpp"
#include "native/handler_guard.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

namespace kelvora::rowplane {

namespace {

const HandlerTexts list_texts{"Error listing records from ", "Failed to list records: "};
const HandlerTexts get_texts{"Error getting record from ", "Failed to get record: "};

Task client_dependency(nb::object state) {
    co_return state_of<Router>(state).client();
}

Task list_records(nb::object state, nb::object limit, nb::object offset, nb::object client,
                  nb::object filters) {
    Router& r = state_of<Router>(state);
    try {
        filters = Router::columns_of(filters, r.filter_renames);
        auto where = r.build_where_clause(filters);
        nb::object count_sql =
            where.first.empty() ? r.count_sql : to_str(count_statement(r.table, where.first));
        nb::object counted = co_await r.execute(client, count_sql, where.second);
        nb::object total = is_true(counted) ? item(item(counted, 0), 0) : nb::int_(0);

        nb::object page_sql = where.first.empty()
                                  ? r.page_sql
                                  : to_str(page_statement(r.table, where.first, r.order_clause));
        where.second[KELVORA_NAME("limit")] = limit;
        where.second[KELVORA_NAME("offset")] = offset;
        nb::object rows = co_await r.execute(client, page_sql, where.second);

        nb::object items;
        if (is_true(rows)) {
            nb::object columns;
            if (Router::positional(rows)) columns = Router::columns(co_await r.describe(client));
            items = Router::records(rows, columns);
        } else {
            items = nb::list();
        }
        co_return r.list_answer(total, items, limit, offset);
    } catch (...) {
        r.fail(list_texts);
    }
}

Task get_record(nb::object state, nb::object client, nb::object pk_values) {
    Router& r = state_of<Router>(state);
    try {
        pk_values = Router::columns_of(pk_values, r.key_renames);
        r.validate_pk_values(pk_values);
        nb::object rows = co_await r.execute(client, r.get_sql, pk_values);
        if (!is_true(rows))
            raise_http_error(404, "Record with " + Router::key_listing(pk_values) +
                                      " not found in " + r.table);
        nb::object columns;
        if (Router::positional(rows)) columns = Router::columns(co_await r.describe(client));
        co_return r.record_answer(Router::record(item(rows, 0), columns));
    } catch (...) {
        r.fail(get_texts);
    }
}

} // namespace

FunctionSpec client_dependency_spec() {
    return {.name = "client_dependency",
            .qualname = "create_crud_router.<locals>.client_dependency",
            .module = module_name,
            .doc = "Return the backend client for dependency injection",
            .parameters = {},
            .coroutine = coroutine_body<client_dependency>()};
}

FunctionSpec list_records_spec() {
    return {.name = "list_records",
            .qualname = "create_crud_router.<locals>.list_records",
            .module = module_name,
            .doc = "List records with optional filtering and pagination",
            .parameters = {{"limit", "int", Check::Integer},
                           {"offset", "int", Check::Integer},
                           {"client"},
                           {"filters", nullptr, Check::None, Kind::VarKeyword}},
            .coroutine = coroutine_body<list_records>()};
}

FunctionSpec get_record_spec() {
    return {.name = "get_record",
            .qualname = "create_crud_router.<locals>.get_record",
            .module = module_name,
            .doc = "Get a record by primary key",
            .parameters = {{"client"}, {"pk_values", nullptr, Check::None, Kind::VarKeyword}},
            .coroutine = coroutine_body<get_record>()};
}

} // namespace kelvora::rowplane
