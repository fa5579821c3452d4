// Handlers of the history: the revisions of a version, one revision, the difference between two
// versions or two revisions, and restoring a revision.
#include "setcontrol/conditions.hpp"
#include "setcontrol/handlers.hpp"
#include "setcontrol/json_patch.hpp"

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

/// Who wrote `revision`, from the store's authors by revision; None when nobody was noted.
nb::object author_of(nb::handle authors, nb::handle revision) {
    PyObject* found = PyDict_GetItemWithError(authors.ptr(), revision.ptr());
    if (!found && PyErr_Occurred()) raise_pending();
    return found ? nb::borrow(found) : nb::none();
}

std::string version_missing(const ControlRouter& r, nb::handle version) {
    return "Version " + py_format(version) + " not found for " + r.config_name_text;
}

std::string revision_missing(const ControlRouter& r, nb::handle revision) {
    return "Revision " + py_format(revision) + " not found for " + r.config_name_text;
}

/// The newest revision row of a version, or 404.
Task newest_of_version(nb::object state, nb::object version) {
    ControlRouter& r = state_of<ControlRouter>(state);
    nb::object rows = co_await r.in_thread(KELVORA_NAME("get_revision_history"), version);
    if (!is_true(rows)) raise_http_error(404, version_missing(r, version));
    co_return item(rows, 0);
}

/// A revision row, or 404.
Task revision_row(nb::object state, nb::object revision) {
    ControlRouter& r = state_of<ControlRouter>(state);
    nb::object row = co_await r.in_thread(KELVORA_NAME("get_revision"), revision);
    if (row.is_none()) raise_http_error(404, revision_missing(r, revision));
    co_return row;
}

nb::object where(nb::handle row) {
    return ordered({{KELVORA_NAME("version"), field(row, KELVORA_NAME("version"))},
                    {KELVORA_NAME("revision"), field(row, KELVORA_NAME("revision"))}});
}

/// `{"from": ..., "to": ..., "patch": [...], "summary": {...}}` of two revision rows.
nb::object difference(nb::handle from, nb::handle to) {
    nb::object before = field(from, KELVORA_NAME("payload"));
    nb::object after = field(to, KELVORA_NAME("payload"));
    return ordered({{KELVORA_NAME("from"), where(from)},
                    {KELVORA_NAME("to"), where(to)},
                    {KELVORA_NAME("patch"), json_patch(before, after)},
                    {KELVORA_NAME("summary"), key_summary(before, after)}});
}

} // namespace

Task get_version_revisions(nb::object state, nb::object version) {
    ControlRouter& r = state_of<ControlRouter>(state);
    try {
        nb::object rows = co_await r.in_thread(KELVORA_NAME("get_revision_history"), version);
        if (!is_true(rows)) raise_http_error(404, version_missing(r, version));
        nb::object authors = co_await r.in_thread(KELVORA_NAME("get_authors"));
        nb::list revisions;
        for (nb::handle row : rows) {
            nb::object revision = field(row, KELVORA_NAME("revision"));
            revisions.append(ordered(
                {{KELVORA_NAME("revision"), revision},
                 {KELVORA_NAME("updated_at"), iso_or_none(field(row, KELVORA_NAME("updated_at")))},
                 {KELVORA_NAME("author"), author_of(authors, revision)}}));
        }
        co_return r.answer(ordered({{KELVORA_NAME("status"), KELVORA_NAME("success")},
                                    {KELVORA_NAME("version"), version},
                                    {KELVORA_NAME("revisions"), revisions}}));
    } catch (...) {
        fail_request(r.log, "Error fetching revisions of version " + py_format(version) + ": ",
                     "Failed to fetch revisions: ", own_http_errors);
    }
}

Task get_revision(nb::object state, nb::object revision, nb::object if_none_match) {
    ControlRouter& r = state_of<ControlRouter>(state);
    try {
        nb::object row = co_await start(revision_row(state, revision),
                                        KELVORA_NAME("create_config_control_router.<locals>._row"));
        nb::object version = field(row, KELVORA_NAME("version"));
        nb::object authors = co_await r.in_thread(KELVORA_NAME("get_authors"));
        const std::string etag = etag_of(version, revision);
        check_not_modified(if_none_match, etag);
        co_return r.answer(ordered({{KELVORA_NAME("status"), KELVORA_NAME("success")},
                                    {KELVORA_NAME("version"), version},
                                    {KELVORA_NAME("revision"), revision},
                                    {KELVORA_NAME("updated_at"),
                                     iso_or_none(field(row, KELVORA_NAME("updated_at")))},
                                    {KELVORA_NAME("author"), author_of(authors, revision)},
                                    {KELVORA_NAME("config"), field(row, KELVORA_NAME("payload"))}}),
                           etag);
    } catch (...) {
        fail_request(r.log, "Error fetching revision " + py_format(revision) + ": ",
                     "Failed to fetch revision: ", own_http_errors);
    }
}

Task diff_versions(nb::object state, nb::object version, nb::object other) {
    ControlRouter& r = state_of<ControlRouter>(state);
    try {
        nb::handle name = KELVORA_NAME("create_config_control_router.<locals>._newest");
        nb::object from = co_await start(newest_of_version(state, version), name);
        nb::object to = co_await start(newest_of_version(state, other), name);
        co_return r.answer(difference(from, to));
    } catch (...) {
        fail_request(r.log,
                     "Error comparing versions: ", "Failed to compare versions: ", own_http_errors);
    }
}

Task diff_revisions(nb::object state, nb::object revision, nb::object other) {
    ControlRouter& r = state_of<ControlRouter>(state);
    try {
        nb::handle name = KELVORA_NAME("create_config_control_router.<locals>._row");
        nb::object from = co_await start(revision_row(state, revision), name);
        nb::object to = co_await start(revision_row(state, other), name);
        co_return r.answer(difference(from, to));
    } catch (...) {
        fail_request(
            r.log, "Error comparing revisions: ", "Failed to compare revisions: ", own_http_errors);
    }
}

Task restore_revision(nb::object state, nb::object revision, nb::object if_match,
                      nb::object if_none_match, nb::object dry_run, nb::object author) {
    ControlRouter& r = state_of<ControlRouter>(state);
    try {
        nb::object conditions = write_conditions(state, if_match, if_none_match, dry_run, author);
        WriteConditions& c = state_of<WriteConditions>(conditions);
        nb::object stored = co_await conditional_write(state, KELVORA_NAME("restore_revision"),
                                                       conditions, nb::make_tuple(revision));
        if (!is_true(stored)) co_return dry_run_answer(r, c);
        if (is_true(r.reload_callback)) co_await reload_step(r);
        r.log.info("Restored config from revision " + py_format(revision) + " for " +
                   r.config_name_text);
        co_return r.answer(
            ordered({{KELVORA_NAME("status"), KELVORA_NAME("success")},
                     {KELVORA_NAME("message"),
                      to_str("Restored config from revision " + py_format(revision))},
                     {KELVORA_NAME("restored_from_revision"), revision},
                     {KELVORA_NAME("current_version"), field(c.stored, KELVORA_NAME("version"))},
                     {KELVORA_NAME("config"), field(c.stored, KELVORA_NAME("payload"))}}),
            stored_etag(c));
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_RuntimeError)) raise_http_error(404, py_format(e.value()), e.value());
        fail_request(r.log, "Error restoring revision " + py_format(revision) + ": ",
                     "Failed to restore revision: ", own_http_errors);
    } catch (...) {
        fail_request(r.log, "Error restoring revision " + py_format(revision) + ": ",
                     "Failed to restore revision: ", own_http_errors);
    }
}

} // namespace kelvora::setcontrol
