// Pydantic models: the response models the router modules declare, and host models turned into
// plain dicts.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

namespace kelvora {

namespace nb = nanobind;

/// One field of a declared model: its name, its type, and its default (none when required).
struct ModelField {
    const char* name;
    nb::object type;
    nb::object default_value = nb::object();
};

/// A subclass of `base_model` as a class statement with annotated fields would make it.
nb::object make_model(nb::handle base_model, const char* module, const char* name, const char* doc,
                      std::initializer_list<ModelField> fields);

/// A model instance as a plain dict: its own `dict()` when it has one, otherwise
/// `model_dump()` (with `exclude_none=True` when asked). Pydantic's inherited `dict` is only a
/// deprecated alias of `model_dump`, so Pydantic models are dumped directly, without its warning.
nb::object model_as_dict(nb::handle model, bool exclude_none = false);

} // namespace kelvora
