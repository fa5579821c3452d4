// The state one table-query router shares between its handlers.
#include "rowquery/router.hpp"

#include "native/calls.hpp"
#include "native/errors.hpp"
#include "native/framework.hpp"
#include "native/handler_guard.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"

#include <algorithm>
#include <cctype>

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

namespace {

/// Reads one part of a table name from the front of `rest`: a quoted part unquoted, a bare one
/// up to the next dot. False when a quote is left open or a quoted part runs into more text.
bool read_name_part(std::string_view& rest, std::string& part) {
    if (rest.empty() || (rest.front() != '`' && rest.front() != '"')) {
        const size_t dot = rest.find('.');
        part = rest.substr(0, dot);
        rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot);
        return part.find_first_of("`\"") == std::string::npos;
    }
    const char quote = rest.front();
    for (size_t at = 1; at < rest.size(); ++at) {
        const char c = rest[at];
        if (c == '\\' && at + 1 < rest.size()) {
            part += rest[++at];
        } else if (c == quote && at + 1 < rest.size() && rest[at + 1] == quote) {
            part += quote;
            ++at;
        } else if (c == quote) {
            rest = rest.substr(at + 1);
            return rest.empty() || rest.front() == '.';
        } else {
            part += c;
        }
    }
    return false;
}

bool is_bare_identifier(std::string_view name) {
    auto letter = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; };
    return !name.empty() && letter(name.front()) &&
           std::all_of(name.begin(), name.end(), [&](char c) {
               return letter(c) || std::isdigit(static_cast<unsigned char>(c));
           });
}

std::string as_identifier(const std::string& name) {
    return is_bare_identifier(name) ? name : quoted_identifier(name);
}

} // namespace

std::pair<std::string, std::string> split_table_name(std::string_view name) {
    std::string_view rest = name;
    std::string first, second;
    if (read_name_part(rest, first)) {
        if (rest.empty()) return {"", first};
        rest.remove_prefix(1);
        if (read_name_part(rest, second) && rest.empty()) return {first, second};
    }
    const size_t dot = name.find('.');
    if (dot == std::string_view::npos) return {"", std::string(name)};
    return {std::string(name.substr(0, dot)), std::string(name.substr(dot + 1))};
}

std::string side_table(const Router& r, std::string_view suffix) {
    std::string table = as_identifier(utf8(r.bare_table) + std::string(suffix));
    return r.database.is_none() ? table : as_identifier(utf8(r.database)) + "." + table;
}

} // namespace kelvora::rowquery
