// Conditional requests: entity tags of what an answer shows, the checks of If-Match and
// If-None-Match, and the precondition a write runs under the configuration's write lock.
#pragma once

#include "setcontrol/control.hpp"

#include <string>
#include <string_view>

namespace kelvora::setcontrol {

/// The strong entity tag of a stored row: `"<version>.<revision>"`, quotes included.
std::string etag_of(nb::handle version, nb::handle revision);

/// True when the header value (a list of entity tags, or `*`) names `etag`. Strong comparison
/// (If-Match) refuses weak tags; weak comparison (If-None-Match) takes `W/"x"` as `"x"`.
bool etag_listed(std::string_view header, std::string_view etag, bool weak);

/// The condition of a read: raises 304 (with the ETag) when If-None-Match names `etag`.
void check_not_modified(nb::handle if_none_match, const std::string& etag);

/// Raises HTTPException(status, detail) carrying `headers` (a dict, or unset).
[[noreturn]] void raise_http_error_with(int status, std::string_view detail, nb::handle headers);

/// What one write asks of the state it replaces, checked by its precondition under the write
/// lock: If-Match, If-None-Match (`*` on a section: the section must be absent), validation of
/// the payload to be stored, and a dry run, which stops the write once all checks passed.
struct WriteConditions : RouterState {
    nb::object router;        ///< the control router's state holder
    nb::object if_match;      ///< header text or None
    nb::object if_none_match; ///< header text or None
    nb::object section;       ///< the section a section write targets, or None
    nb::object author;        ///< who writes (text), or None
    bool dry_run = false;
    nb::object stored; ///< the row the write stored (or would have), once the checks passed

    int traverse(visitproc visit, void* arg) const override {
        return visit_all(visit, arg, router, if_match, if_none_match, section, author, stored);
    }
};

/// The conditions of one write request, held by a new holder object.
nb::object write_conditions(nb::handle router, nb::handle if_match, nb::handle if_none_match,
                            nb::handle dry_run, nb::handle author, nb::handle section = nb::none());

/// The store's `Precondition` callable over a holder of `WriteConditions`.
nb::object precondition(nb::handle conditions);

/// True when a request names any condition of a write (If-Match, If-None-Match, dry_run).
bool is_conditional(nb::handle if_match, nb::handle if_none_match, nb::handle dry_run);

/// The ETag of the row a write stored (from its conditions).
std::string stored_etag(const WriteConditions& conditions);

/// The answer of a dry run: `{"dry_run": true, "version": ..., "config": ...}` of the row the
/// write would have stored.
nb::object dry_run_answer(const ControlRouter& r, const WriteConditions& conditions);

} // namespace kelvora::setcontrol
