// Routes: handlers made with the signature FastAPI reads their parameters from, and registered on
// a router with the decorator its route method returns.
#pragma once

#include "native/function.hpp"

#include <nanobind/nanobind.h>

namespace kelvora {

namespace nb = nanobind;

/// The FastAPI-facing signature of a handler: its `inspect.Parameter`s and its
/// `__annotations__`.
class HandlerSignature {
public:
    HandlerSignature();

    /// Adds a positional-or-keyword parameter; `annotation` and `default_value` may be unset.
    void add(const char* name, nb::handle annotation, nb::handle default_value = nb::handle());
    /// Adds `inspect.Parameter`s made elsewhere, as they are.
    void extend(nb::handle parameters);

    nb::object signature() const;
    const nb::dict& annotations() const { return annotations_; }

private:
    nb::object parameter_type_, signature_type_;
    nb::list parameters_;
    nb::dict annotations_;
};

/// How a route's answer is written: by FastAPI, or by a handler that may write its JSON itself
/// (see native/answers.hpp).
enum class Answers { ByFramework, ByHandler };

/// Creates the handler described by `spec` over `closure` (with `defaults` for its trailing
/// positional parameters), gives it `signature`, and registers it by applying
/// `router.<method>(path, **route_options)` to it; a route whose handler writes its answers is
/// registered the same way as an answer route.
void add_route(nb::handle router, const char* method, nb::handle path, nb::handle route_options,
               const FunctionSpec& spec, nb::handle closure, nb::handle defaults,
               const HandlerSignature& signature, Answers answers = Answers::ByFramework);

} // namespace kelvora
