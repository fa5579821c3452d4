// The OpenAPI description of the control plane on the config router's operations.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora::setcontrol {

namespace nb = nanobind;

/// An OpenAPI parameter object of a header or query parameter.
nb::dict parameter_documentation(const char* name, const char* in, nb::dict schema,
                                 const char* description);

/// The function `document_control_plane(app)`. The control router's routes on the config
/// router's paths stay out of the schema (the config router documents those operations, and one
/// path and method is one operation); this makes `app.openapi()` add to each of them what the
/// control router's route adds: its headers, query parameters and answers.
nb::object make_document_control_plane();

} // namespace kelvora::setcontrol
