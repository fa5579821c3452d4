// Differences between two configurations: an RFC 6902 JSON Patch and a summary of top-level keys.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora::setcontrol {

namespace nb = nanobind;

/// The operations (`add`, `remove`, `replace`, each with its JSON Pointer `path`) that turn
/// `before` into `after`: objects are compared key by key, anything else is replaced whole when
/// it differs (JSON values: `1` and `true` differ, `1` and `1.0` do not).
nb::list json_patch(nb::handle before, nb::handle after);

/// `{"added": [...], "removed": [...], "changed": [...]}`: the top-level keys, in order.
nb::dict key_summary(nb::handle before, nb::handle after);

/// True when two JSON values are equal as JSON (see `json_patch`).
bool json_equal(nb::handle a, nb::handle b);

} // namespace kelvora::setcontrol
