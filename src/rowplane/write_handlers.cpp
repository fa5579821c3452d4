// The write handlers: create_record (POST "/"), update_record (PUT on the key path) and
// delete_record (DELETE on the key path).
#include "rowplane/handlers.hpp"
#include "rowplane/router.hpp"
#include "rowplane/statements.hpp"

#include "native/calls.hpp"
#include "native/errors.hpp"
#include "native/framework.hpp"
#include "native/handler_guard.hpp"
#include "native/keyed_locks.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

namespace kelvora::rowplane {

namespace {

using namespace nb::literals;

const HandlerTexts create_texts{"Error creating record in ", "Failed to create record: "};
const HandlerTexts update_texts{"Error updating record in ", "Failed to update record: "};
const HandlerTexts delete_texts{"Error deleting record from ", "Failed to delete record: "};

std::string text_of(nb::handle value) {
    return utf8(steal_or_raise(PyObject_Str(value.ptr())));
}

Task create_record(nb::object state, nb::object request, nb::object client) {
    Router& r = state_of<Router>(state);
    try {
        nb::object data = r.body_record(request, false);
        r.apply_validators(data);
        refuse_text_without_utf8(data);

        nb::dict key_params;
        std::string taken;
        for (size_t i = 0; i < r.pk_fields.size(); ++i) {
            nb::object value = steal_or_raise(PyObject_GetItem(data.ptr(), r.pk_names[i].ptr()));
            key_params[r.pk_names[i]] = value;
            taken += (i ? ", " : "") + r.pk_fields[i] + "='" + py_format(value) + "'";
        }
        // The check and the insert it allows are one step for the creates of this process: the
        // others of the same key wait, then find the row.
        nb::object lock = keyed_lock(nb::make_tuple(r.table_name, to_str(taken)));
        co_await call_method(lock, KELVORA_NAME("acquire"));
        HeldLock held(std::move(lock));
        nb::object existing = co_await r.execute(client, r.key_sql, key_params);
        if (is_true(existing))
            raise_http_error(409, "Record with " + taken + " already exists. Use PUT to update.");

        if (PyUnicode_GET_LENGTH(r.timestamp_field.ptr()) > 0) {
            int present = PySequence_Contains(data.ptr(), r.timestamp_field.ptr());
            if (present < 0) raise_pending();
            if (!present) {
                nb::object now = call_method(r.datetime, KELVORA_NAME("utcnow"));
                if (PyObject_SetItem(data.ptr(), r.timestamp_field.ptr(), now.ptr()))
                    raise_pending();
            }
        }
        co_await r.execute(client, to_str(insert_statement(r.table, data)), data);
        r.log.info("Created record in " + r.table + ": " + text_of(key_params));
        co_return r.record_answer(data);
    } catch (...) {
        r.fail(create_texts);
    }
}

Task update_record(nb::object state, nb::object request, nb::object client, nb::object pk_values) {
    Router& r = state_of<Router>(state);
    try {
        pk_values = Router::columns_of(pk_values, r.key_renames);
        r.validate_pk_values(pk_values);
        nb::object existing = co_await r.execute(client, r.row_sql, pk_values);
        if (!is_true(existing))
            raise_http_error(404, "Record with " + Router::key_listing(pk_values) +
                                      " not found in " + r.table);

        nb::object data = r.body_record(request, true);
        r.apply_validators(data);
        refuse_text_without_utf8(data);
        for (const nb::object& name : r.pk_names) {
            int present = PySequence_Contains(data.ptr(), name.ptr());
            if (present < 0) raise_pending();
            if (present && PyObject_DelItem(data.ptr(), name.ptr())) raise_pending();
        }
        if (!is_true(data)) raise_http_error(400, "No fields to update");

        nb::object sql = to_str(update_statement(r.table, data, r.key_condition));
        nb::dict params;
        if (PyDict_Merge(params.ptr(), data.ptr(), 1) ||
            PyDict_Update(params.ptr(), pk_values.ptr()))
            raise_pending();
        co_await r.execute(client, sql, params);
        r.log.info("Updated record in " + r.table + ": " + text_of(pk_values));

        nb::object rows = co_await r.execute(client, r.row_sql, pk_values);
        if (is_true(rows)) {
            nb::object columns;
            if (Router::positional(rows)) columns = Router::columns(co_await r.describe(client));
            co_return r.record_answer(Router::record(item(rows, 0), columns));
        }
        nb::dict message;
        message[KELVORA_NAME("message")] = KELVORA_NAME("Updated successfully");
        // The message is not a record: with a response model it leaves as it is, so that the
        // framework does not validate it against that model.
        if (is_true(r.response_model)) co_return framework().json_response("content"_a = message);
        co_return message;
    } catch (...) {
        r.fail(update_texts);
    }
}

Task delete_record(nb::object state, nb::object client, nb::object pk_values) {
    Router& r = state_of<Router>(state);
    try {
        pk_values = Router::columns_of(pk_values, r.key_renames);
        r.validate_pk_values(pk_values);
        nb::object existing = co_await r.execute(client, r.key_sql, pk_values);
        if (!is_true(existing))
            raise_http_error(404, "Record with " + Router::key_listing(pk_values) +
                                      " not found in " + r.table);

        nb::object sql = to_str(delete_statement(r.table, r.pk_fields, r.pk_names, pk_values));
        co_await r.execute(client, sql, nb::dict());
        r.log.info("Deleted record from " + r.table + ": " + text_of(pk_values));
        co_return r.message_response("message"_a =
                                         to_str("Record deleted successfully from " + r.table),
                                     "status"_a = "success", "details"_a = pk_values);
    } catch (...) {
        r.fail(delete_texts);
    }
}

} // namespace

FunctionSpec create_record_spec() {
    return {.name = "create_record",
            .qualname = "create_crud_router.<locals>.create_record",
            .module = module_name,
            .doc = "Create a new record",
            .parameters = {{"request"}, {"client"}},
            .coroutine = coroutine_body<create_record>()};
}

FunctionSpec update_record_spec() {
    return {.name = "update_record",
            .qualname = "create_crud_router.<locals>.update_record",
            .module = module_name,
            .doc = "Update an existing record",
            .parameters = {{"request"},
                           {"client"},
                           {"pk_values", nullptr, Check::None, Kind::VarKeyword}},
            .coroutine = coroutine_body<update_record>()};
}

FunctionSpec delete_record_spec() {
    return {.name = "delete_record",
            .qualname = "create_crud_router.<locals>.delete_record",
            .module = module_name,
            .doc = "Delete a record by primary key",
            .parameters = {{"client"}, {"pk_values", nullptr, Check::None, Kind::VarKeyword}},
            .coroutine = coroutine_body<delete_record>()};
}

} // namespace kelvora::rowplane
