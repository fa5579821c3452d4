// The state one table-query router shares between its handlers.
#include "rowquery/router.hpp"

#include "native/calls.hpp"
#include "native/errors.hpp"
#include "native/framework.hpp"
#include "native/handler_guard.hpp"
#include "native/names.hpp"

namespace kelvora::rowquery {

const Column& Router::column(std::string_view name, std::string_view where) const {
    auto found = by_name.find(std::string(name));
    if (found == by_name.end())
        raise_http_error(422,
                         "Unknown column '" + std::string(name) + "' (" + std::string(where) + ")");
    return columns[found->second];
}

nb::object Router::execute(nb::handle query, nb::handle params) const {
    nb::object method =
        steal_or_raise(PyObject_GetAttr(client.ptr(), KELVORA_NAME("execute").ptr()));
    return call(framework().run_in_threadpool, method, query, params);
}

nb::dict Router::table_parameters() const {
    nb::dict parameters;
    parameters["table"] = bare_table;
    if (!database.is_none()) parameters["database"] = database;
    return parameters;
}

void Router::fail(const char* doing, const char* detail) const {
    fail_request(log, std::string("Error ") + doing + " " + table + ": ", detail);
}

std::string quoted_identifier(std::string_view name, bool for_template) {
    std::string quoted = "`";
    for (char c : name) {
        if (c == '`' || c == '\\') quoted += '\\';
        if (c == '%' && for_template) quoted += '%';
        quoted += c;
    }
    return quoted + "`";
}

} // namespace kelvora::rowquery
