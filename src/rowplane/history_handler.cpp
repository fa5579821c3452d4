// The history handler: get_record_history (GET on the key path + "/history"), every stored row
// of one key, newest first.
#include "rowplane/handlers.hpp"
#include "rowplane/router.hpp"

#include "native/errors.hpp"
#include "native/framework.hpp"
#include "native/handler_guard.hpp"
#include "native/names.hpp"

namespace kelvora::rowplane {

namespace {

const HandlerTexts history_texts{"Error getting history from ", "Failed to get record history: "};

Task get_record_history(nb::object state, nb::object client, nb::object pk_values) {
    Router& r = state_of<Router>(state);
    try {
        pk_values = Router::columns_of(pk_values, r.key_renames);
        r.validate_pk_values(pk_values);
        nb::object rows = co_await r.execute(client, r.history_sql, pk_values);
        if (!is_true(rows))
            raise_http_error(404, "No history found for " + Router::key_listing(pk_values) +
                                      " in " + r.table);
        nb::object columns;
        if (Router::positional(rows)) columns = Router::columns(co_await r.describe(client));
        nb::object records = Router::records(rows, columns);
        nb::object count = nb::int_(PyList_GET_SIZE(records.ptr()));
        co_return r.list_answer(count, records, count, nb::int_(0));
    } catch (...) {
        r.fail(history_texts);
    }
}

} // namespace

FunctionSpec get_record_history_spec() {
    return {.name = "get_record_history",
            .qualname = "create_crud_router.<locals>.get_record_history",
            .module = module_name,
            .doc = "Get all historical versions of a record",
            .parameters = {{"client"}, {"pk_values", nullptr, Check::None, Kind::VarKeyword}},
            .coroutine = coroutine_body<get_record_history>()};
}

} // namespace kelvora::rowplane
