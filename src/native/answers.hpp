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
/// (made once). A handler that leaves its answer there returns a stand-in instead (None, or an
/// empty page of its answer model); the route puts the bytes into the answer FastAPI made of the
/// stand-in, so the status, headers and background tasks are FastAPI's own.
nb::handle answer_route_class();

/// The running request's answer slot when FastAPI called the handler through an answer route and
/// nothing was left there yet; an invalid handle otherwise (a direct call).
nb::handle answer_slot();

/// Leaves in `slot` the answer `value`, its JSON `body`, the class FastAPI answers it with by
/// default (JSONResponse on a route without an answer model, Response with one), and what a host's
/// answer class renders instead: `encode(value)`.
void leave_answer(nb::handle slot, nb::handle value, std::string body, nb::handle answer_class,
                  nb::handle encode);

/// What a handler returns for `value` on a route without an answer model: None, with the JSON
/// left in the request's slot, when FastAPI called it through an answer route and `value` is
/// plain JSON; `value` itself otherwise.
nb::object plain_json_answer(nb::handle value);

} // namespace kelvora
