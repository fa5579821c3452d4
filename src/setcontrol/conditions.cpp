// Conditional requests: entity tags of what an answer shows, the checks of If-Match and
// If-None-Match, and the precondition a write runs under the configuration's write lock.
#include "setcontrol/conditions.hpp"

#include "setcontrol/handlers.hpp"
#include "setcontrol/validation.hpp"

#include "native/calls.hpp"
#include "native/framework.hpp"
#include "native/function.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

#include <memory>

namespace kelvora::setcontrol {

namespace {

using namespace nb::literals;

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

nb::object field(nb::handle row, const char* key) {
    return steal_or_raise(PyObject_GetItem(row.ptr(), nb::str(key).ptr()));
}

bool contains(nb::handle mapping, nb::handle key) {
    const int found = PySequence_Contains(mapping.ptr(), key.ptr());
    if (found < 0) raise_pending();
    return found;
}

/// The store calls it with the state a write replaces and the row it would store.
nb::object check_write(nb::handle closure, Arguments& args) {
    WriteConditions& c = state_of<WriteConditions>(closure);
    nb::handle current = args[0], stored = args[1];
    const std::string current_etag = etag_of(field(current, "version"), field(current, "revision"));
    nb::dict headers;
    headers["ETag"] = to_str(current_etag);
    if (!c.if_match.is_none() && !etag_listed(utf8(c.if_match), current_etag, false))
        raise_http_error_with(412, "Precondition failed: the current ETag is " + current_etag,
                              headers);
    if (!c.if_none_match.is_none()) {
        const std::string listed = utf8(c.if_none_match);
        if (!c.section.is_none() && trimmed(listed) == "*") {
            if (contains(field(current, "payload"), c.section))
                raise_http_error_with(
                    412, "Precondition failed: section '" + py_format(c.section) + "' exists",
                    headers);
        } else if (etag_listed(listed, current_etag, true)) {
            raise_http_error_with(412, "Precondition failed: the current ETag is " + current_etag,
                                  headers);
        }
    }
    ControlRouter& r = state_of<ControlRouter>(c.router);
    if (r.validates()) validate_config(r, field(stored, "payload"));
    c.stored = nb::borrow(stored);
    if (c.dry_run) raise_object(call(r.not_stored));
    return nb::none();
}

} // namespace

std::string etag_of(nb::handle version, nb::handle revision) {
    return "\"" + py_format(version) + "." + py_format(revision) + "\"";
}

bool etag_listed(std::string_view header, std::string_view etag, bool weak) {
    if (trimmed(header) == "*") return true;
    while (!header.empty()) {
        const size_t comma = header.find(',');
        std::string_view tag = trimmed(header.substr(0, comma));
        header = comma == std::string_view::npos ? std::string_view() : header.substr(comma + 1);
        if (tag.starts_with("W/")) {
            if (!weak) continue;
            tag.remove_prefix(2);
        }
        if (tag == etag) return true;
    }
    return false;
}

void raise_http_error_with(int status, std::string_view detail, nb::handle headers) {
    nb::object exception = framework().http_exception(
        "status_code"_a = status, "detail"_a = to_str(detail), "headers"_a = nb::borrow(headers));
    raise_object(exception);
}

void check_not_modified(nb::handle if_none_match, const std::string& etag) {
    if (if_none_match.is_none() || !etag_listed(utf8(if_none_match), etag, true)) return;
    nb::dict headers;
    headers["ETag"] = to_str(etag);
    raise_http_error_with(304, "Not Modified", headers);
}

nb::object write_conditions(nb::handle router, nb::handle if_match, nb::handle if_none_match,
                            nb::handle dry_run, nb::handle author, nb::handle section) {
    nb::object holder = hold_state(std::make_unique<WriteConditions>());
    WriteConditions& c = state_of<WriteConditions>(holder);
    c.router = nb::borrow(router);
    c.if_match = nb::borrow(if_match);
    c.if_none_match = nb::borrow(if_none_match);
    c.section = nb::borrow(section);
    c.author = author_named(author);
    c.dry_run = is_true(dry_run);
    c.stored = nb::none();
    return holder;
}

nb::object precondition(nb::handle conditions) {
    static const FunctionSpec spec{.name = "precondition",
                                   .qualname = "create_config_control_router.<locals>.precondition",
                                   .module = module_name,
                                   .parameters = {{"current"}, {"stored"}},
                                   .body = check_write};
    return make_function(spec, conditions);
}

bool is_conditional(nb::handle if_match, nb::handle if_none_match, nb::handle dry_run) {
    return !if_match.is_none() || !if_none_match.is_none() || is_true(dry_run);
}

std::string stored_etag(const WriteConditions& c) {
    return etag_of(field(c.stored, "version"), field(c.stored, "revision"));
}

nb::object dry_run_answer(const ControlRouter& r, const WriteConditions& c) {
    return r.answer(ordered({{KELVORA_NAME("dry_run"), nb::handle(Py_True)},
                             {KELVORA_NAME("version"), field(c.stored, "version")},
                             {KELVORA_NAME("config"), field(c.stored, "payload")}}));
}

} // namespace kelvora::setcontrol
