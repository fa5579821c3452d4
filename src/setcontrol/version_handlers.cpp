// Handlers of the stored versions and of the database view, under conditions: show a version
// (304 when unchanged), edit one in place, snapshot, restore, show what the database holds.
#include "setcontrol/conditions.hpp"
#include "setcontrol/handlers.hpp"

#include "native/calls.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

namespace kelvora::setcontrol {

namespace {

nb::object field(nb::handle row, nb::handle key) {
    return steal_or_raise(PyObject_GetItem(row.ptr(), key.ptr()));
}

nb::object iso_or_none(nb::handle timestamp) {
    if (!is_true(timestamp)) return nb::none();
    return call_method(timestamp, KELVORA_NAME("isoformat"));
}

nb::object status_message(const std::string& message) {
    return ordered({{KELVORA_NAME("status"), KELVORA_NAME("success")},
                    {KELVORA_NAME("message"), to_str(message)}});
}

} // namespace

Task get_config_by_version(nb::object state, nb::object version, nb::object if_none_match) {
    ControlRouter& r = state_of<ControlRouter>(state);
    try {
        nb::object rows = co_await r.in_thread(KELVORA_NAME("get_revision_history"), version);
        if (!is_true(rows))
            raise_http_error(404, "Version " + py_format(version) + " not found for " +
                                      r.config_name_text);
        nb::object newest = item(rows, 0);
        const std::string etag = etag_of(version, field(newest, KELVORA_NAME("revision")));
        check_not_modified(if_none_match, etag);
        co_return r.answer(
            ordered({{KELVORA_NAME("status"), KELVORA_NAME("success")},
                     {KELVORA_NAME("version"), version},
                     {KELVORA_NAME("updated_at"),
                      iso_or_none(field(newest, KELVORA_NAME("updated_at")))},
                     {KELVORA_NAME("config"), field(newest, KELVORA_NAME("payload"))}}),
            etag);
    } catch (...) {
        fail_request(r.log, "Error fetching version " + py_format(version) + ": ",
                     "Failed to fetch version: ", own_http_errors);
    }
}

Task update_config_version(nb::object state, nb::object version, nb::object payload,
                           nb::object if_match, nb::object if_none_match, nb::object dry_run,
                           nb::object author) {
    ControlRouter& r = state_of<ControlRouter>(state);
    refuse_text_without_utf8(payload);
    try {
        nb::object conditions = write_conditions(state, if_match, if_none_match, dry_run, author);
        WriteConditions& c = state_of<WriteConditions>(conditions);
        nb::object stored =
            co_await conditional_write(state, KELVORA_NAME("update_config_version"), conditions,
                                       nb::make_tuple(version, payload));
        if (!is_true(stored)) co_return dry_run_answer(r, c);
        r.log.info("Updated version " + py_format(version) + " of " + r.config_name_text);
        co_return r.answer(status_message("Version " + py_format(version) + " updated"),
                           stored_etag(c));
    } catch (...) {
        fail_request(r.log, "Error updating version " + py_format(version) + ": ",
                     "Failed to update version: ", own_http_errors);
    }
}

Task patch_config_version(nb::object state, nb::object version, nb::object patch,
                          nb::object if_match, nb::object if_none_match, nb::object dry_run,
                          nb::object author) {
    ControlRouter& r = state_of<ControlRouter>(state);
    refuse_text_without_utf8(patch);
    try {
        nb::object conditions = write_conditions(state, if_match, if_none_match, dry_run, author);
        WriteConditions& c = state_of<WriteConditions>(conditions);
        nb::object stored = co_await conditional_write(state, KELVORA_NAME("patch_config_version"),
                                                       conditions, nb::make_tuple(version, patch));
        if (!is_true(stored)) co_return dry_run_answer(r, c);
        r.log.info("Patched version " + py_format(version) + " of " + r.config_name_text);
        co_return r.answer(status_message("Version " + py_format(version) + " patched"),
                           stored_etag(c));
    } catch (...) {
        fail_request(r.log, "Error patching version " + py_format(version) + ": ",
                     "Failed to patch version: ", own_http_errors);
    }
}

Task create_new_version(nb::object state, nb::object if_match, nb::object if_none_match,
                        nb::object dry_run, nb::object author) {
    ControlRouter& r = state_of<ControlRouter>(state);
    try {
        nb::object previous = co_await r.in_thread(KELVORA_NAME("get_version"));
        nb::object conditions = write_conditions(state, if_match, if_none_match, dry_run, author);
        WriteConditions& c = state_of<WriteConditions>(conditions);
        nb::object stored = co_await conditional_write(state, KELVORA_NAME("create_new_version"),
                                                       conditions, nb::tuple());
        if (!is_true(stored)) co_return dry_run_answer(r, c);
        nb::object created = field(c.stored, KELVORA_NAME("version"));
        r.log.info("Created new version " + py_format(created) + " for " + r.config_name_text);
        co_return r.answer(ordered({{KELVORA_NAME("status"), KELVORA_NAME("success")},
                                    {KELVORA_NAME("message"),
                                     to_str("Version " + py_format(created) + " created")},
                                    {KELVORA_NAME("previous_version"), previous},
                                    {KELVORA_NAME("new_version"), created}}),
                           stored_etag(c));
    } catch (...) {
        fail_request(r.log, "Error creating new version: ", "Failed to create new version: ",
                     own_http_errors);
    }
}

Task restore_version(nb::object state, nb::object version, nb::object if_match,
                     nb::object if_none_match, nb::object dry_run, nb::object author) {
    ControlRouter& r = state_of<ControlRouter>(state);
    try {
        nb::object current = co_await r.in_thread(KELVORA_NAME("get_version"));
        nb::object conditions = write_conditions(state, if_match, if_none_match, dry_run, author);
        WriteConditions& c = state_of<WriteConditions>(conditions);
        nb::object stored = co_await conditional_write(state, KELVORA_NAME("restore_version"),
                                                       conditions, nb::make_tuple(version));
        if (!is_true(stored)) co_return dry_run_answer(r, c);
        if (is_true(r.reload_callback)) co_await reload_step(r);
        r.log.info("Restored config from version " + py_format(version) + " for " +
                   r.config_name_text);
        co_return r.answer(
            ordered({{KELVORA_NAME("status"), KELVORA_NAME("success")},
                     {KELVORA_NAME("message"),
                      to_str("Restored config from version " + py_format(version))},
                     {KELVORA_NAME("restored_from_version"), version},
                     {KELVORA_NAME("current_version"), current},
                     {KELVORA_NAME("config"), field(c.stored, KELVORA_NAME("payload"))}}),
            stored_etag(c));
    } catch (nb::python_error& e) {
        // The store refuses a version it cannot restore with RuntimeError, whose text it words.
        if (e.matches(PyExc_RuntimeError)) raise_http_error(404, py_format(e.value()), e.value());
        fail_request(r.log, "Error restoring version " + py_format(version) + ": ",
                     "Failed to restore version: ", own_http_errors);
    } catch (...) {
        fail_request(r.log, "Error restoring version " + py_format(version) + ": ",
                     "Failed to restore version: ", own_http_errors);
    }
}

Task get_current_database_config(nb::object state, nb::object if_none_match) {
    ControlRouter& r = state_of<ControlRouter>(state);
    try {
        nb::object config = co_await r.get_config(true);
        if (!is_true(config))
            co_return r.answer(
                ordered({{KELVORA_NAME("status"), KELVORA_NAME("not_found")},
                         {KELVORA_NAME("message"),
                          to_str("No config found in database for " + r.config_name_text)}}));
        nb::object version = config.attr(KELVORA_NAME("version"));
        const std::string etag = etag_of(version, config.attr(KELVORA_NAME("revision")));
        check_not_modified(if_none_match, etag);
        co_return r.answer(
            ordered({{KELVORA_NAME("status"), KELVORA_NAME("success")},
                     {KELVORA_NAME("version"), version},
                     {KELVORA_NAME("config"), config},
                     {KELVORA_NAME("note"),
                      KELVORA_NAME("This config will be loaded on next restart/reload")}}),
            etag);
    } catch (...) {
        fail_request(r.log, "Error fetching database config: ", "Failed to fetch database config: ",
                     own_http_errors);
    }
}

} // namespace kelvora::setcontrol
