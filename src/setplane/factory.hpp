// create_config_router: the function that turns a ConfigStore into a config router.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora::setplane {

namespace nb = nanobind;

/// `from <module> import <name>`: the attribute, or ImportError when the module lacks it.
nb::object import_from(nb::handle module, const char* name);

/// The factory function; it reads the module's globals (the framework objects, the models, the
/// logger) when it is called.
nb::object make_config_router_factory(nb::handle module);

} // namespace kelvora::setplane
