// Handlers of the stored versions: list, show, edit in place, snapshot, restore.
#include "setplane/handlers.hpp"
#include "setplane/router.hpp"

#include "native/calls.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

#include <string>

namespace kelvora::setplane {

namespace {

using namespace nb::literals;

nb::object field(nb::handle row, nb::handle key) {
    return steal_or_raise(PyObject_GetItem(row.ptr(), key.ptr()));
}

/// A timestamp's `isoformat()` text, or None when the timestamp is falsy.
nb::object iso_or_none(nb::handle timestamp) {
    if (!is_true(timestamp)) return nb::none();
    return call_method(timestamp, KELVORA_NAME("isoformat"));
}

} // namespace

Task get_config_versions(nb::object state) {
    ConfigRouter& r = state_of<ConfigRouter>(state);
    try {
        nb::object rows = co_await r.in_thread(KELVORA_NAME("get_version_history"));
        nb::list versions;
        nb::object iterator = steal_or_raise(PyObject_GetIter(rows.ptr()));
        while (PyObject* next = PyIter_Next(iterator.ptr())) {
            nb::object row = nb::steal(next);
            nb::object config_name = field(row, KELVORA_NAME("config_name"));
            nb::object environment = field(row, KELVORA_NAME("environment"));
            nb::object version = field(row, KELVORA_NAME("version"));
            nb::object updated_at = iso_or_none(field(row, KELVORA_NAME("updated_at")));
            versions.append(
                r.version_info_model("config_name"_a = config_name, "environment"_a = environment,
                                     "version"_a = version, "updated_at"_a = updated_at));
        }
        if (PyErr_Occurred()) raise_pending();
        co_return r.versions_model("status"_a = KELVORA_NAME("success"),
                                   "total_versions"_a = nb::len(versions), "versions"_a = versions);
    } catch (...) {
        fail_request(r.log, "Error fetching versions: ", "Failed to fetch versions: ", every_error);
    }
}

Task get_config_by_version(nb::object state, nb::object version) {
    ConfigRouter& r = state_of<ConfigRouter>(state);
    try {
        nb::object row = co_await r.in_thread(KELVORA_NAME("get_version_detail"), version);
        if (!is_true(row))
            raise_http_error(404, "Version " + py_format(version) + " not found for " +
                                      r.config_name_text);
        nb::object updated_at = iso_or_none(field(row, KELVORA_NAME("updated_at")));
        nb::object payload = field(row, KELVORA_NAME("payload"));
        co_return r.version_detail_model("status"_a = KELVORA_NAME("success"),
                                         "version"_a = version, "updated_at"_a = updated_at,
                                         "config"_a = payload);
    } catch (...) {
        fail_request(r.log, "Error fetching version " + py_format(version) + ": ",
                     "Failed to fetch version: ", own_http_errors);
    }
}

Task update_config_version(nb::object state, nb::object version, nb::object payload) {
    ConfigRouter& r = state_of<ConfigRouter>(state);
    refuse_text_without_utf8(payload);
    try {
        co_await r.in_thread(KELVORA_NAME("update_config_version"), version, payload);
        r.log.info("Updated version " + py_format(version) + " of " + r.config_name_text);
        co_return ordered(
            {{KELVORA_NAME("status"), KELVORA_NAME("success")},
             {KELVORA_NAME("message"), to_str("Version " + py_format(version) + " updated")}});
    } catch (...) {
        fail_request(r.log, "Error updating version " + py_format(version) + ": ",
                     "Failed to update version: ", every_error);
    }
}

Task patch_config_version(nb::object state, nb::object version, nb::object patch) {
    ConfigRouter& r = state_of<ConfigRouter>(state);
    refuse_text_without_utf8(patch);
    try {
        co_await r.in_thread(KELVORA_NAME("patch_config_version"), version, patch);
        r.log.info("Patched version " + py_format(version) + " of " + r.config_name_text);
        co_return ordered(
            {{KELVORA_NAME("status"), KELVORA_NAME("success")},
             {KELVORA_NAME("message"), to_str("Version " + py_format(version) + " patched")}});
    } catch (...) {
        fail_request(r.log, "Error patching version " + py_format(version) + ": ",
                     "Failed to patch version: ", every_error);
    }
}

Task create_new_version(nb::object state) {
    ConfigRouter& r = state_of<ConfigRouter>(state);
    try {
        nb::object previous = co_await r.in_thread(KELVORA_NAME("get_version"));
        nb::object created = co_await r.in_thread(KELVORA_NAME("create_new_version"));
        r.log.info("Created new version " + py_format(created) + " for " + r.config_name_text);
        co_return ordered(
            {{KELVORA_NAME("status"), KELVORA_NAME("success")},
             {KELVORA_NAME("message"), to_str("Version " + py_format(created) + " created")},
             {KELVORA_NAME("previous_version"), previous},
             {KELVORA_NAME("new_version"), created}});
    } catch (...) {
        fail_request(r.log,
                     "Error creating new version: ", "Failed to create new version: ", every_error);
    }
}

Task restore_version(nb::object state, nb::object version) {
    ConfigRouter& r = state_of<ConfigRouter>(state);
    try {
        nb::object current = co_await r.in_thread(KELVORA_NAME("get_version"));
        nb::object restored = co_await r.in_thread(KELVORA_NAME("restore_version"), version);
        if (r.reloads()) co_await reload_step(state, false);
        r.log.info("Restored config from version " + py_format(version) + " for " +
                   r.config_name_text);
        co_return ordered({{KELVORA_NAME("status"), KELVORA_NAME("success")},
                           {KELVORA_NAME("message"),
                            to_str("Restored config from version " + py_format(version))},
                           {KELVORA_NAME("restored_from_version"), version},
                           {KELVORA_NAME("current_version"), current},
                           {KELVORA_NAME("config"), restored}});
    } catch (nb::python_error& e) {
        // The store refuses a version it cannot restore with RuntimeError, whose text it words.
        if (e.matches(PyExc_RuntimeError)) raise_http_error(404, py_format(e.value()), e.value());
        fail_request(r.log, "Error restoring version " + py_format(version) + ": ",
                     "Failed to restore version: ", every_error);
    } catch (...) {
        fail_request(r.log, "Error restoring version " + py_format(version) + ": ",
                     "Failed to restore version: ", every_error);
    }
}

} // namespace kelvora::setplane
