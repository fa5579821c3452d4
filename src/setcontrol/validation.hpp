// Validation of a configuration before it is stored: a JSON Schema, or the router's model.
#pragma once

#include "setcontrol/control.hpp"

namespace kelvora::setcontrol {

/// A jsonschema validator of `schema` (checked against its own meta-schema), or None for None.
nb::object schema_validator(nb::handle schema);

/// Raises 422 "Invalid configuration at {JSON Pointer}: {reason}" for the first value that the
/// schema (or else the model) refuses.
void validate_config(const ControlRouter& r, nb::handle payload);

} // namespace kelvora::setcontrol
