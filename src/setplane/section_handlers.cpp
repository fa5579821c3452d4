// Handlers of one top-level section of the configuration: read it, replace it, delete it.
#include "setplane/handlers.hpp"
#include "setplane/router.hpp"

#include "native/answers.hpp"
#include "native/calls.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

#include <string>

namespace kelvora::setplane {

namespace {

bool contains(nb::handle config, nb::handle section) {
    const int found = PySequence_Contains(config.ptr(), section.ptr());
    if (found < 0) raise_pending();
    return found;
}

std::string not_found(nb::handle section) {
    return "Section '" + py_format(section) + "' not found in config";
}

/// A copy of the configuration the store handed out, so that the store's own mapping keeps the
/// section until the write that removes it has succeeded.
nb::object copy_of(nb::handle config) {
    if (PyDict_CheckExact(config.ptr())) return steal_or_raise(PyDict_Copy(config.ptr()));
    return nb::module_::import_("copy").attr("copy")(config);
}

bool is_versions(nb::handle section) {
    return PyUnicode_Check(section.ptr()) &&
           PyUnicode_CompareWithASCIIString(section.ptr(), "versions") == 0;
}

} // namespace

Task get_section(nb::object state, nb::object section) {
    ConfigRouter& r = state_of<ConfigRouter>(state);
    // With version endpoints, GET "/versions" is the version listing: the section route, which
    // comes first in the route table, hands that one path over to it.
    if (r.version_listing && is_versions(section))
        co_return co_await start(get_config_versions(state),
                                 KELVORA_NAME("create_config_router.<locals>.get_config_versions"));
    try {
        nb::object config = co_await r.get_config(false);
        if (!contains(config, section)) raise_http_error(404, not_found(section));
        co_return plain_json_answer(steal_or_raise(PyObject_GetItem(config.ptr(), section.ptr())));
    } catch (...) {
        fail_request(r.log, "Error reading section '" + py_format(section) + "': ",
                     "Failed to read section: ", own_http_errors);
    }
}

Task replace_section(nb::object state, nb::object section, nb::object section_config) {
    ConfigRouter& r = state_of<ConfigRouter>(state);
    refuse_text_without_utf8(section);
    refuse_text_without_utf8(section_config);
    try {
        nb::dict one_section = ordered({{section, section_config}});
        nb::object updated = co_await r.in_thread(KELVORA_NAME("patch_config"), one_section);
        if (r.reloads()) co_await reload_step(state, false);
        r.log.info("Replaced section '" + py_format(section) + "' in " + r.config_name_text);
        co_return r.shaped(updated);
    } catch (...) {
        fail_request(r.log, "Error replacing section '" + py_format(section) + "': ",
                     "Failed to replace section: ", own_http_errors);
    }
}

Task delete_section(nb::object state, nb::object section) {
    ConfigRouter& r = state_of<ConfigRouter>(state);
    try {
        nb::object config = co_await r.get_config(false);
        if (!contains(config, section)) raise_http_error(404, not_found(section));
        nb::object remaining = copy_of(config);
        call_method(remaining, KELVORA_NAME("pop"), section);
        co_await r.in_thread(KELVORA_NAME("update_config"), remaining);
        nb::object updated = co_await r.get_config(true);
        if (r.reloads()) co_await reload_step(state, false);
        r.log.info("Deleted section '" + py_format(section) + "' from " + r.config_name_text);
        co_return r.shaped(updated);
    } catch (...) {
        fail_request(r.log, "Error deleting section '" + py_format(section) + "': ",
                     "Failed to delete section: ", own_http_errors);
    }
}

} // namespace kelvora::setplane
