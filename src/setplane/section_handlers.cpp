// Handlers of one top-level section of the configuration: read it, replace it, delete it.
#include "setplane/handlers.hpp"
#include "setplane/router.hpp"

#include "native/calls.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"

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

Task get_section_task(nb::object state, nb::object section) {
    ConfigRouter& r = router_of(state);
    try {
        nb::object config = co_await r.get_config(false);
        if (!contains(config, section)) r.refuse(404, not_found(section));
        co_return steal_or_raise(PyObject_GetItem(config.ptr(), section.ptr()));
    } catch (nb::python_error& e) {
        r.pass_http_exception(e);
        r.fail(e,
               "Error reading section '" + py_format(section) + "': ", "Failed to read section: ");
    }
}

Task replace_section_task(nb::object state, nb::object section, nb::object section_config) {
    ConfigRouter& r = router_of(state);
    try {
        nb::dict one_section = ordered({{section, section_config}});
        nb::object updated = co_await r.in_thread(KELVORA_NAME("patch_config"), one_section);
        if (r.reloads()) co_await reload_step(state, false);
        r.log.info("Replaced section '" + py_format(section) + "' in " + r.config_name_text);
        co_return r.shaped(updated);
    } catch (nb::python_error& e) {
        r.pass_http_exception(e);
        r.fail(e, "Error replacing section '" + py_format(section) + "': ",
               "Failed to replace section: ");
    }
}

Task delete_section_task(nb::object state, nb::object section) {
    ConfigRouter& r = router_of(state);
    try {
        nb::object config = co_await r.get_config(false);
        if (!contains(config, section)) r.refuse(404, not_found(section));
        nb::object remaining = copy_of(config);
        call_method(remaining, KELVORA_NAME("pop"), section);
        co_await r.in_thread(KELVORA_NAME("update_config"), remaining);
        nb::object updated = co_await r.get_config(true);
        if (r.reloads()) co_await reload_step(state, false);
        r.log.info("Deleted section '" + py_format(section) + "' from " + r.config_name_text);
        co_return r.shaped(updated);
    } catch (nb::python_error& e) {
        r.pass_http_exception(e);
        r.fail(e, "Error deleting section '" + py_format(section) + "': ",
               "Failed to delete section: ");
    }
}

} // namespace

nb::object get_section(nb::handle state, Arguments& args) {
    // With version endpoints, GET "/versions" is the version listing: the section route, which
    // comes first in the route table, hands that one path over to it.
    if (router_of(state).version_listing && is_versions(args[0]))
        return get_config_versions(state, args);
    return start(get_section_task(nb::borrow(state), nb::borrow(args[0])),
                 KELVORA_NAME("create_config_router.<locals>.get_section"));
}

nb::object replace_section(nb::handle state, Arguments& args) {
    return start(replace_section_task(nb::borrow(state), nb::borrow(args[0]), nb::borrow(args[1])),
                 KELVORA_NAME("create_config_router.<locals>.replace_section"));
}

nb::object delete_section(nb::handle state, Arguments& args) {
    return start(delete_section_task(nb::borrow(state), nb::borrow(args[0])),
                 KELVORA_NAME("create_config_router.<locals>.delete_section"));
}

} // namespace kelvora::setplane
