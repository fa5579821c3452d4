// The read handlers: list_records (GET "/") and get_record (GET on the key path), and the client
// dependency every route declares.
#include "rowplane/handlers.hpp"
#include "rowplane/router.hpp"
#include "rowplane/statements.hpp"

#include "native/errors.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

namespace kelvora::rowplane {

namespace {

const HandlerTexts list_texts{"Error listing records from ", "Failed to list records: "};
const HandlerTexts get_texts{"Error getting record from ", "Failed to get record: "};

Task client_dependency(nb::object state) {
    co_return router_of(state).client();
}

Task list_records(nb::object state, nb::object limit, nb::object offset, nb::object client,
                  nb::object filters) {
    Router& r = router_of(state);
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
    Router& r = router_of(state);
    try {
        pk_values = Router::columns_of(pk_values, r.key_renames);
        r.validate_pk_values(pk_values);
        nb::object rows = co_await r.execute(client, r.get_sql, pk_values);
        if (!is_true(rows))
            r.http_error(404, "Record with " + Router::key_listing(pk_values) + " not found in " +
                                  r.table);
        nb::object columns;
        if (Router::positional(rows)) columns = Router::columns(co_await r.describe(client));
        co_return r.record_answer(Router::record(item(rows, 0), columns));
    } catch (...) {
        r.fail(get_texts);
    }
}

nb::object client_dependency_body(nb::handle closure, Arguments&) {
    return start(client_dependency(nb::borrow(closure)),
                 KELVORA_NAME("create_crud_router.<locals>.client_dependency"));
}

nb::object list_records_body(nb::handle closure, Arguments& a) {
    return start(list_records(nb::borrow(closure), nb::borrow(a[0]), nb::borrow(a[1]),
                              nb::borrow(a[2]), a.keywords()),
                 KELVORA_NAME("create_crud_router.<locals>.list_records"));
}

nb::object get_record_body(nb::handle closure, Arguments& a) {
    return start(get_record(nb::borrow(closure), nb::borrow(a[0]), a.keywords()),
                 KELVORA_NAME("create_crud_router.<locals>.get_record"));
}

} // namespace

FunctionSpec client_dependency_spec() {
    return {"client_dependency",
            "create_crud_router.<locals>.client_dependency",
            module_name,
            "Return the backend client for dependency injection",
            {},
            nullptr,
            Check::None,
            true,
            client_dependency_body};
}

FunctionSpec list_records_spec() {
    return {"list_records",
            "create_crud_router.<locals>.list_records",
            module_name,
            "List records with optional filtering and pagination",
            {{"limit", "int", Check::Integer},
             {"offset", "int", Check::Integer},
             {"client"},
             {"filters", nullptr, Check::None, Kind::VarKeyword}},
            nullptr,
            Check::None,
            true,
            list_records_body};
}

FunctionSpec get_record_spec() {
    return {"get_record",
            "create_crud_router.<locals>.get_record",
            module_name,
            "Get a record by primary key",
            {{"client"}, {"pk_values", nullptr, Check::None, Kind::VarKeyword}},
            nullptr,
            Check::None,
            true,
            get_record_body};
}

} // namespace kelvora::rowplane
