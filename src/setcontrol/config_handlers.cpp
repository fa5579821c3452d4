// Handlers of the whole configuration and of its sections, under conditions: read (304 when
// unchanged), replace, merge, replace and delete a section (412 when the configuration moved on,
// 422 when the result is refused, a dry run stores nothing).
#include "setcontrol/conditions.hpp"
#include "setcontrol/handlers.hpp"
#include "setcontrol/validation.hpp"

#include "native/calls.hpp"
#include "native/literals.hpp"
#include "native/models.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

namespace kelvora::setcontrol {

namespace {

bool contains(nb::handle config, nb::handle section) {
    const int found = PySequence_Contains(config.ptr(), section.ptr());
    if (found < 0) raise_pending();
    return found;
}

std::string not_found(nb::handle section) {
    return "Section '" + py_format(section) + "' not found in config";
}

/// The ETag of a configuration the store handed out (a StoredConfig).
std::string etag_of_held(nb::handle config) {
    return etag_of(config.attr(KELVORA_NAME("version")), config.attr(KELVORA_NAME("revision")));
}

nb::object stored_payload(const WriteConditions& c) {
    return steal_or_raise(PyObject_GetItem(c.stored.ptr(), KELVORA_NAME("payload").ptr()));
}

bool wants_event_stream(nb::handle accept) {
    return !accept.is_none() && utf8(accept).find("text/event-stream") != std::string::npos;
}

} // namespace

Task get_full_config(nb::object state, nb::object if_none_match, nb::object wait, nb::object index,
                     nb::object accept, nb::object last_event_id) {
    ControlRouter& r = state_of<ControlRouter>(state);
    if (wants_event_stream(accept)) co_return co_await event_stream(state, last_event_id);
    if (!index.is_none()) co_return co_await long_poll(state, wait, index);
    try {
        nb::object config = co_await r.get_config(false);
        const std::string etag = etag_of_held(config);
        check_not_modified(if_none_match, etag);
        co_return r.answer(r.shaped(config), etag);
    } catch (...) {
        fail_request(r.log, "Error reading config: ", "Failed to read config: ", own_http_errors);
    }
}

Task replace_config(nb::object state, nb::object new_config, nb::object if_match,
                    nb::object if_none_match, nb::object dry_run, nb::object author) {
    ControlRouter& r = state_of<ControlRouter>(state);
    refuse_text_without_utf8(new_config);
    try {
        if (is_true(r.config_model)) {
            validate_config(r, new_config);
            new_config = model_as_dict(call_with_mapping(r.config_model, new_config));
        }
        nb::object conditions = write_conditions(state, if_match, if_none_match, dry_run, author);
        WriteConditions& c = state_of<WriteConditions>(conditions);
        nb::object stored = co_await conditional_write(state, KELVORA_NAME("update_config"),
                                                       conditions, nb::make_tuple(new_config));
        if (!is_true(stored)) co_return dry_run_answer(r, c);
        if (is_true(r.reload_callback)) co_await reload_step(r);
        r.log.info("Replaced full config for " + r.config_name_text);
        co_return r.answer(r.shaped(stored_payload(c)), stored_etag(c));
    } catch (...) {
        fail_request(r.log,
                     "Error replacing config: ", "Failed to replace config: ", own_http_errors);
    }
}

Task update_config(nb::object state, nb::object patch, nb::object if_match,
                   nb::object if_none_match, nb::object dry_run, nb::object author) {
    ControlRouter& r = state_of<ControlRouter>(state);
    refuse_text_without_utf8(patch);
    try {
        nb::object conditions = write_conditions(state, if_match, if_none_match, dry_run, author);
        WriteConditions& c = state_of<WriteConditions>(conditions);
        nb::object stored = co_await conditional_write(state, KELVORA_NAME("patch_config"),
                                                       conditions, nb::make_tuple(patch));
        if (!is_true(stored)) co_return dry_run_answer(r, c);
        if (is_true(r.reload_callback)) co_await reload_step(r);
        r.log.info("Patched config for " + r.config_name_text);
        co_return r.answer(r.shaped(stored_payload(c)), stored_etag(c));
    } catch (...) {
        fail_request(r.log, "Error patching config: ", "Failed to patch config: ", own_http_errors);
    }
}

Task get_section(nb::object state, nb::object section, nb::object if_none_match) {
    ControlRouter& r = state_of<ControlRouter>(state);
    try {
        nb::object config = co_await r.get_config(false);
        if (!contains(config, section)) raise_http_error(404, not_found(section));
        const std::string etag = etag_of_held(config);
        check_not_modified(if_none_match, etag);
        co_return r.answer(steal_or_raise(PyObject_GetItem(config.ptr(), section.ptr())), etag);
    } catch (...) {
        fail_request(r.log, "Error reading section '" + py_format(section) + "': ",
                     "Failed to read section: ", own_http_errors);
    }
}

Task replace_section(nb::object state, nb::object section, nb::object section_config,
                     nb::object if_match, nb::object if_none_match, nb::object dry_run,
                     nb::object author) {
    ControlRouter& r = state_of<ControlRouter>(state);
    refuse_text_without_utf8(section);
    refuse_text_without_utf8(section_config);
    try {
        nb::object conditions =
            write_conditions(state, if_match, if_none_match, dry_run, author, section);
        WriteConditions& c = state_of<WriteConditions>(conditions);
        nb::dict one_section = ordered({{section, section_config}});
        nb::object stored = co_await conditional_write(state, KELVORA_NAME("patch_config"),
                                                       conditions, nb::make_tuple(one_section));
        if (!is_true(stored)) co_return dry_run_answer(r, c);
        if (is_true(r.reload_callback)) co_await reload_step(r);
        r.log.info("Replaced section '" + py_format(section) + "' in " + r.config_name_text);
        co_return r.answer(r.shaped(stored_payload(c)), stored_etag(c));
    } catch (...) {
        fail_request(r.log, "Error replacing section '" + py_format(section) + "': ",
                     "Failed to replace section: ", own_http_errors);
    }
}

Task delete_section(nb::object state, nb::object section, nb::object if_match,
                    nb::object if_none_match, nb::object dry_run, nb::object author) {
    ControlRouter& r = state_of<ControlRouter>(state);
    try {
        nb::object config = co_await r.get_config(false);
        if (!contains(config, section)) raise_http_error(404, not_found(section));
        // A copy the store handed out (it remembers its revision), so that only this removal is
        // applied onto the latest version.
        nb::object remaining = nb::module_::import_("copy").attr("copy")(config);
        call_method(remaining, KELVORA_NAME("pop"), section);
        nb::object conditions = write_conditions(state, if_match, if_none_match, dry_run, author);
        WriteConditions& c = state_of<WriteConditions>(conditions);
        nb::object stored = co_await conditional_write(state, KELVORA_NAME("update_config"),
                                                       conditions, nb::make_tuple(remaining));
        if (!is_true(stored)) co_return dry_run_answer(r, c);
        if (is_true(r.reload_callback)) co_await reload_step(r);
        r.log.info("Deleted section '" + py_format(section) + "' from " + r.config_name_text);
        co_return r.answer(r.shaped(stored_payload(c)), stored_etag(c));
    } catch (...) {
        fail_request(r.log, "Error deleting section '" + py_format(section) + "': ",
                     "Failed to delete section: ", own_http_errors);
    }
}

} // namespace kelvora::setcontrol
