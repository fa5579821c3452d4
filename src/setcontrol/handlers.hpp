// The request handlers of a control router: coroutines over the router state (their closure),
// then one argument per route parameter, conditions (If-Match, If-None-Match, dry_run) last.
#pragma once

#include "native/coroutine.hpp"

namespace kelvora::setcontrol {

namespace nb = nanobind;

// The whole configuration, and watching it.
Task get_full_config(nb::object state, nb::object if_none_match, nb::object wait, nb::object index,
                     nb::object accept, nb::object last_event_id);
Task replace_config(nb::object state, nb::object new_config, nb::object if_match,
                    nb::object if_none_match, nb::object dry_run, nb::object author);
Task update_config(nb::object state, nb::object patch, nb::object if_match,
                   nb::object if_none_match, nb::object dry_run, nb::object author);

// Sections.
Task get_section(nb::object state, nb::object section, nb::object if_none_match);
Task replace_section(nb::object state, nb::object section, nb::object section_config,
                     nb::object if_match, nb::object if_none_match, nb::object dry_run,
                     nb::object author);
Task delete_section(nb::object state, nb::object section, nb::object if_match,
                    nb::object if_none_match, nb::object dry_run, nb::object author);

// Versions and the database view.
Task get_config_by_version(nb::object state, nb::object version, nb::object if_none_match);
Task update_config_version(nb::object state, nb::object version, nb::object payload,
                           nb::object if_match, nb::object if_none_match, nb::object dry_run,
                           nb::object author);
Task patch_config_version(nb::object state, nb::object version, nb::object patch,
                          nb::object if_match, nb::object if_none_match, nb::object dry_run,
                          nb::object author);
Task create_new_version(nb::object state, nb::object if_match, nb::object if_none_match,
                        nb::object dry_run, nb::object author);
Task restore_version(nb::object state, nb::object version, nb::object if_match,
                     nb::object if_none_match, nb::object dry_run, nb::object author);
Task get_current_database_config(nb::object state, nb::object if_none_match);

// History.
Task get_version_revisions(nb::object state, nb::object version);
Task get_revision(nb::object state, nb::object revision, nb::object if_none_match);
Task diff_versions(nb::object state, nb::object version, nb::object other);
Task diff_revisions(nb::object state, nb::object revision, nb::object other);
Task restore_revision(nb::object state, nb::object revision, nb::object if_match,
                      nb::object if_none_match, nb::object dry_run, nb::object author);

/// The author a host's authentication dependency names: the text it returns, or the `name`
/// (attribute or key) of what it returns when that is text; None otherwise.
nb::object author_named(nb::handle principal);

/// Runs the store's write `method(*args, precondition=...)` under the conditions of the request
/// (a holder of WriteConditions); the awaitable gives True when the row was stored and False
/// when a dry run stopped the write after its checks. A broken write lock answers 409. The
/// conditions' author, when there is one, is recorded for the stored revision.
nb::object conditional_write(nb::handle state, nb::handle method, nb::handle conditions,
                             nb::handle args);

/// The long poll of GET "/?index=N&wait=S" and the event stream of GET "/" with
/// `Accept: text/event-stream` (watch_handlers.cpp): awaitables giving the answer.
nb::object long_poll(nb::handle state, nb::handle wait, nb::handle index);
nb::object event_stream(nb::handle state, nb::handle last_event_id);

/// The encoder of server-sent events the router's streams use.
nb::object make_event_encoder();

} // namespace kelvora::setcontrol
