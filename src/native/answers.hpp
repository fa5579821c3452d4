// Native answers: a handler that FastAPI calls through an answer route writes its answer's JSON
// itself, the bytes FastAPI would have written, while the same handler called directly returns
// its value as before.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

namespace kelvora {

namespace nb = nanobind;

/// This module's `APIRoute` subclass whose request handler gives each request an answer slot
/// (made once). A handler that leaves its answer there returns `None` in its place; the route
/// puts the bytes into the answer FastAPI made of that `None`, so the status, headers and
/// background tasks are FastAPI's own.
nb::handle answer_route_class();

/// The running request's answer slot when FastAPI called the handler through an answer route and
/// nothing was left there yet; an invalid handle otherwise (a direct call).
nb::handle answer_slot();

/// Leaves `value` and its JSON `body` in `slot`.
void leave_answer(nb::handle slot, nb::handle value, std::string body);

/// The JSON FastAPI writes for `value` on a route without an answer model
/// (`JSONResponse(jsonable_encoder(value))`), when `value` is plain JSON data, which
/// `jsonable_encoder` hands back unchanged: dicts (and subclasses read through dict's own
/// `keys` and `items`) with text keys, lists, text, ints, finite floats, bools and None, the
/// others of those exact types. Anything else gives nullopt.
std::optional<std::string> plain_json(nb::handle value);

/// What a handler returns for `value` on a route without an answer model: None, with the JSON
/// left in the request's slot, when FastAPI called it through an answer route and `value` is
/// plain JSON; `value` itself otherwise.
nb::object plain_json_answer(nb::handle value);

} // namespace kelvora
