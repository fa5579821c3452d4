// Native answers: a handler that FastAPI calls through an answer route writes its answer's JSON
// itself, the bytes FastAPI would have written, while the same handler called directly returns
// its value as before.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora {

namespace nb = nanobind;

/// This module's `APIRoute` subclass whose request handler gives each request an answer slot
/// (made once). A handler that leaves its answer there returns a stand-in instead (None, or an
/// empty page of its answer model); the route puts the bytes into the answer FastAPI made of the
/// stand-in, so the status, headers and background tasks are FastAPI's own.
nb::handle answer_route_class();

/// How one answer model's instances are written: the model, the empty instance standing in for
/// one, and how FastAPI hands an instance to a host's answer class
/// (`model_dump(mode="json", by_alias=True)`).
struct ModelAnswers {
    nb::object model, stand_in, content;

    ModelAnswers() = default;
    /// `model` and its stand-in, `model.model_construct(**stand_in_fields)`.
    ModelAnswers(nb::handle model, nb::handle stand_in_fields);

    /// What a handler returns for an instance whose fields are `fields` (a dict in the model's
    /// field order, of values the model takes unchanged): the stand-in, with the instance's JSON
    /// left in the request's slot, when FastAPI called it through an answer route and the writer
    /// writes every value as Pydantic does; an invalid handle otherwise.
    nb::object answer(nb::handle fields) const;
};

/// What a handler returns for `value` on a route without an answer model: None, with the JSON
/// left in the request's slot, when FastAPI called it through an answer route and `value` is
/// plain JSON; `value` itself otherwise.
nb::object plain_json_answer(nb::handle value);

} // namespace kelvora
