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

namespace {

/// Whether a page's fields have exactly the types QueryPage gives them, so that validating it
/// changes nothing: a list of dicts, whole numbers and text, None where the model allows it.
bool has_page_types(nb::handle page) {
    auto field = [&](const char* name) { return PyDict_GetItemString(page.ptr(), name); };
    auto optional = [](PyObject* value, bool (*check)(PyObject*)) {
        return value && (value == Py_None || check(value));
    };
    auto whole = [](PyObject* value) { return static_cast<bool>(PyLong_CheckExact(value)); };
    auto text = [](PyObject* value) { return static_cast<bool>(PyUnicode_CheckExact(value)); };
    PyObject* items = field("items");
    if (!items || !PyList_CheckExact(items)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i)
        if (!PyDict_CheckExact(PyList_GET_ITEM(items, i))) return false;
    PyObject *count_mode = field("count_mode"), *limit = field("limit");
    return optional(field("count"), whole) && count_mode && text(count_mode) && limit &&
           whole(limit) && optional(field("offset"), whole) && optional(field("next"), text);
}

} // namespace

nb::object Router::page_answer(nb::handle page) const {
    if (!PyDict_CheckExact(page.ptr()) || !has_page_types(page)) return nb::borrow(page);
    nb::object stand_in = page_answers.answer(page);
    return stand_in.is_valid() ? stand_in : nb::borrow(page);
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
