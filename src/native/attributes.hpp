// Looking up attributes and importing names, with the errors Python's own statements raise.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora {

namespace nb = nanobind;

/// `getattr(value, name)` when present, kept in `result`; false when absent. Errors other than
/// AttributeError raise.
bool lookup_attribute(nb::handle value, nb::handle name, nb::object& result);

/// `from <module> import <name>`: the attribute, or the ImportError the statement raises.
nb::object import_from(nb::handle module, const char* name);

/// A module global, as a function of the module would look it up: NameError when it is absent.
nb::object module_global(nb::handle module, const char* name);

} // namespace kelvora
