// Request bodies given as host models, turned into plain dicts.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora {

namespace nb = nanobind;

/// `getattr(value, name)` when present, kept in `result`; false when absent. Errors other than
/// AttributeError raise.
bool lookup_attribute(nb::handle value, nb::handle name, nb::object& result);

/// A model instance as a plain dict: its own `dict()` when it has one, otherwise
/// `model_dump()` (with `exclude_none=True` when asked). Pydantic's inherited `dict` is only a
/// deprecated alias of `model_dump`, so Pydantic models are dumped directly, without its warning.
nb::object model_as_dict(nb::handle model, bool exclude_none = false);

} // namespace kelvora
