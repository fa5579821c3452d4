// The state one CRUD router shares between its handlers, and the procedures they all use.
#include "rowplane/router.hpp"

#include "native/calls.hpp"
#include "native/errors.hpp"
#include "native/literals.hpp"
#include "native/models.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

namespace kelvora::rowplane {

using namespace nb::literals;

Framework& framework() {
    // Never destroyed: its references must not be released after the interpreter is gone.
    static Framework* instance = new Framework();
    return *instance;
}

namespace {

nb::object as_dict(nb::handle value) {
    return steal_or_raise(
        PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value.ptr()));
}

} // namespace

nb::object Router::client() const {
    nb::object client;
    return lookup_attribute(backend, KELVORA_NAME("client"), client) ? client : backend;
}

Task completed(nb::object value) {
    co_return value;
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
            http_error(400, "Missing primary key field: " + pk_fields[i]);
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
        PyObject* column = PyDict_GetItemWithError(renames.ptr(), key);
        if (!column && PyErr_Occurred()) raise_pending();
        if (PyDict_SetItem(result.ptr(), column ? column : key, value)) raise_pending();
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
    return column_names(describe_rows);
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
    nb::object keywords = nb::borrow(record);
    if (!PyDict_CheckExact(record.ptr())) {
        keywords = nb::dict();
        if (PyDict_Merge(keywords.ptr(), record.ptr(), 1)) raise_pending();
    }
    nb::object arguments = steal_or_raise(PyTuple_New(0));
    return steal_or_raise(PyObject_Call(response_model.ptr(), arguments.ptr(), keywords.ptr()));
}

nb::object Router::list_answer(nb::handle total, nb::handle items, nb::handle limit,
                               nb::handle offset) const {
    nb::handle model = framework().list_response;
    if (is_true(list_model)) {
        int differs = PyObject_RichCompareBool(list_model.ptr(), model.ptr(), Py_NE);
        if (differs < 0) raise_pending();
        if (differs) model = list_model;
    }
    return model("total"_a = total, "items"_a = items, "limit"_a = limit, "offset"_a = offset);
}

void Router::http_error(int status, const std::string& detail) const {
    raise_object(framework().http_exception("status_code"_a = status, "detail"_a = to_str(detail)));
}

void Router::fail(const HandlerTexts& texts) const {
    nb::object error;
    try {
        throw;
    } catch (nb::python_error& e) {
        if (e.matches(framework().http_exception) || !is_ordinary_exception(e)) throw;
        error = nb::borrow(e.value());
    } catch (...) {
        restore_current_exception();
        nb::python_error converted;
        error = nb::borrow(converted.value());
    }
    std::string text = utf8(steal_or_raise(PyObject_Str(error.ptr())));
    log.error(texts.log_prefix + table + ": " + text, error);
    http_error(500, texts.detail_prefix + text);
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

// -- The object owning a router ------------------------------------------------------------

namespace {

struct RouterObject {
    PyObject_HEAD Router* router;
};

PyTypeObject* router_type = nullptr;

int router_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Router* router = reinterpret_cast<RouterObject*>(self)->router;
    int status = 0;
    if (router)
        router->for_each_object([&](nb::object& o) {
            if (!status && o.is_valid()) status = visit(o.ptr(), arg);
        });
    return status;
}

int router_clear(PyObject* self) {
    Router* router = reinterpret_cast<RouterObject*>(self)->router;
    if (router) router->for_each_object([](nb::object& o) { o.reset(); });
    return 0;
}

void router_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete reinterpret_cast<RouterObject*>(self)->router;
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot router_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(router_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(router_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(router_clear)},
    {0, nullptr},
};

PyType_Spec router_spec = {
    "kelvora.rowplane.router_state",
    sizeof(RouterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    router_slots,
};

} // namespace

void init_router_type() {
    if (!router_type)
        router_type = reinterpret_cast<PyTypeObject*>(
            steal_or_raise(PyType_FromSpec(&router_spec)).release().ptr());
}

nb::object make_router_object(Router* router) {
    RouterObject* object = PyObject_GC_New(RouterObject, router_type);
    if (!object) {
        delete router;
        raise_pending();
    }
    object->router = router;
    PyObject_GC_Track(object);
    return nb::steal(reinterpret_cast<PyObject*>(object));
}

Router& router_of(nb::handle object) {
    return *reinterpret_cast<RouterObject*>(object.ptr())->router;
}

} // namespace kelvora::rowplane
