// The JSON FastAPI writes for an answer, written natively: as `json.dumps` writes what
// `jsonable_encoder` hands back (a route without an answer model), and as Pydantic writes a
// value typed `Any` (an answer model's record fields). Each writer declines what it does not
// write byte for byte as they do, and the answer then goes FastAPI's own way.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

namespace kelvora {

namespace nb = nanobind;

/// The JSON FastAPI writes for `value` on a route without an answer model
/// (`JSONResponse(jsonable_encoder(value))`), when `value` is plain JSON data, which
/// `jsonable_encoder` hands back unchanged: dicts (and subclasses read through dict's own
/// `keys` and `items`) with text keys, lists, text, ints, finite floats, bools and None, the
/// others of those exact types. Anything else gives nullopt.
std::optional<std::string> plain_json(nb::handle value);

/// Appends the JSON Pydantic writes for `value` as a field typed `Any`: None, bools, ints,
/// floats (null when not finite), text, datetimes, dates, Decimals and UUIDs (as text), lists
/// and tuples (arrays) and dicts with text keys, each of its exact type. Returns false, with
/// `out` partly written, for anything else.
bool append_any_json(nb::handle value, std::string& out);

} // namespace kelvora
