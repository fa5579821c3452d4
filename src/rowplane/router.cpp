// The state one CRUD router shares between its handlers, and the procedures they all use.
#include "rowplane/router.hpp"

#include "native/attributes.hpp"
#include "native/calls.hpp"
#include "native/errors.hpp"
#include "native/framework.hpp"
#include "native/handler_guard.hpp"
#include "native/literals.hpp"
#include "native/models.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

namespace kelvora::rowplane {

using namespace nb::literals;

namespace {

nb::object as_dict(nb::handle value) {
    return steal_or_raise(
        PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value.ptr()));
}

bool has_list_shape(nb::handle total, nb::handle items, nb::handle limit, nb::handle offset) {
    if (!PyLong_CheckExact(total.ptr()) || !PyLong_CheckExact(limit.ptr()) ||
        !PyLong_CheckExact(offset.ptr()) || !PyList_CheckExact(items.ptr()))
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject* record = PyList_GET_ITEM(items.ptr(), i);
        if (!PyDict_CheckExact(record)) return false;
        PyObject *key, *value;
        for (Py_ssize_t at = 0; PyDict_Next(record, &at, &key, &value);)
            if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

} // namespace

nb::object Router::client() const {
    nb::object client;
    return lookup_attribute(backend, KELVORA_NAME("client"), client) ? client : backend;
}

nb::object Router::execute(nb::handle client, nb::handle query, nb::handle params) const {
    if (async_mode) {
        nb::object method =
            steal_or_raise(PyObject_GetAttr(client.ptr(), KELVORA_NAME("execute").ptr()));
        return call(framework().run_in_threadpool, method, query, params);
    }
    return start(completed(call_method(client, KELVORA_NAME("execute"), query, params)),
                 KELVORA_NAME("_execute_query"));
}

nb::object Router::describe(nb::handle client) const {
    return execute(client, describe_sql, nb::dict());
}

void Router::validate_pk_values(nb::handle pk_values) const {
    for (size_t i = 0; i < pk_fields.size(); ++i) {
        PyObject* value = PyDict_GetItemWithError(pk_values.ptr(), pk_names[i].ptr());
        if (!value && PyErr_Occurred()) raise_pending();
        if (!value || value == Py_None)
            raise_http_error(400, "Missing primary key field: " + pk_fields[i]);
    }
}

std::pair<std::string, nb::dict> Router::build_where_clause(nb::handle filters) const {
    std::string clause;
    nb::dict params;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(filters.ptr(), &position, &key, &value)) {
        nb::object held_key = nb::borrow(key), held_value = nb::borrow(value);
        if (value == Py_None) continue;
        int filterable = PySequence_Contains(filterable_fields.ptr(), key);
        if (filterable < 0) raise_pending();
        if (!filterable) continue;
        std::string name = py_format(key);
        clause += clause.empty() ? "WHERE " : " AND ";
        clause += name + " = %(" + name + ")s";
        if (PyDict_SetItem(params.ptr(), key, value)) raise_pending();
    }
    return {std::move(clause), std::move(params)};
}

nb::object Router::columns_of(nb::handle values, nb::handle renames) {
    if (PyDict_GET_SIZE(renames.ptr()) == 0) return nb::borrow(values);
    nb::dict result;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(values.ptr(), &position, &key, &value)) {
        // Comparing names can run Python code, which could drop the entry being read.
        nb::object held_key = nb::borrow(key), held_value = nb::borrow(value);
        nb::object column = nb::borrow(PyDict_GetItemWithError(renames.ptr(), key));
        if (!column.is_valid() && PyErr_Occurred()) raise_pending();
        if (PyDict_SetItem(result.ptr(), column.is_valid() ? column.ptr() : key, value))
            raise_pending();
    }
    return result;
}

std::string Router::key_listing(nb::handle pk_values) {
    std::string listing;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(pk_values.ptr(), &position, &key, &value)) {
        nb::object held_key = nb::borrow(key), held_value = nb::borrow(value);
        if (!listing.empty()) listing += ", ";
        append_format(listing, key);
        listing += '=';
        append_format(listing, value);
    }
    return listing;
}

bool Router::positional(nb::handle rows) {
    nb::object first = item(rows, 0);
    if (PyTuple_CheckExact(first.ptr())) return true;
    nb::object keys;
    return !lookup_attribute(first, KELVORA_NAME("keys"), keys);
}

nb::object Router::columns(nb::handle describe_rows) {
    return selected_column_names(describe_rows);
}

nb::object Router::records(nb::handle rows, nb::handle columns) {
    if (columns.is_valid()) return records_from_rows(columns, rows);
    nb::list records;
    nb::object iterator = steal_or_raise(PyObject_GetIter(rows.ptr()));
    while (PyObject* row = PyIter_Next(iterator.ptr())) {
        nb::object held = nb::steal(row);
        records.append(as_dict(row));
    }
    if (PyErr_Occurred()) raise_pending();
    return records;
}

nb::object Router::record(nb::handle row, nb::handle columns) {
    return columns.is_valid() ? nb::object(record_from_row(columns, row)) : as_dict(row);
}

nb::object Router::record_answer(nb::handle record) const {
    if (!is_true(response_model)) return nb::borrow(record);
    return call_with_mapping(response_model, record);
}

nb::object Router::list_answer(nb::handle total, nb::handle items, nb::handle limit,
                               nb::handle offset) const {
    nb::handle model = list_response;
    if (is_true(list_model)) {
        int differs = PyObject_RichCompareBool(list_model.ptr(), model.ptr(), Py_NE);
        if (differs < 0) raise_pending();
        if (differs) model = list_model;
    }
    // The default model's validation only copies a page that already has its shape (whole
    // numbers, and records that are dicts keyed by column names), so such a page builds it
    // directly; anything else, and a host's own model, is validated.
    if (!model.is(list_response) || !has_list_shape(total, items, limit, offset))
        return nb::borrow(model)("total"_a = total, "items"_a = items, "limit"_a = limit,
                                 "offset"_a = offset);
    // Through FastAPI, the page's JSON is written here, as Pydantic writes the model.
    nb::dict fields = ordered({{KELVORA_NAME("total"), total},
                               {KELVORA_NAME("items"), items},
                               {KELVORA_NAME("limit"), limit},
                               {KELVORA_NAME("offset"), offset}});
    if (nb::object stand_in = list_answers.answer(fields); stand_in.is_valid()) return stand_in;
    return call_with_mapping(list_response.attr(KELVORA_NAME("model_construct")), fields);
}

void Router::fail(const HandlerTexts& texts) const {
    fail_request(log, texts.log_prefix + table + ": ", texts.detail_prefix);
}

nb::object Router::body_record(nb::handle body, bool exclude_none) const {
    return model_as_dict(body, exclude_none);
}

void Router::apply_validators(nb::handle data) const {
    if (PyDict_GET_SIZE(custom_validators.ptr()) == 0) return;
    // A snapshot, so that a validator changing the mapping cannot disturb the iteration.
    nb::object entries = steal_or_raise(PyDict_Items(custom_validators.ptr()));
    for (nb::handle entry : entries) {
        nb::handle field = PyTuple_GET_ITEM(entry.ptr(), 0);
        nb::handle validator = PyTuple_GET_ITEM(entry.ptr(), 1);
        int present = PySequence_Contains(data.ptr(), field.ptr());
        if (present < 0) raise_pending();
        if (!present) continue;
        nb::object value = steal_or_raise(PyObject_GetItem(data.ptr(), field.ptr()));
        if (PyObject_SetItem(data.ptr(), field.ptr(), call(validator, value).ptr()))
            raise_pending();
    }
}

} // namespace kelvora::rowplane
