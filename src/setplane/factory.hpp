// create_config_router: the function that turns a ConfigStore into a config router.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora::setplane {

namespace nb = nanobind;

/// The factory function; it reads the module's globals (the framework objects, the models, the
/// logger) when it is called.
nb::object make_config_router_factory(nb::handle module);

} // namespace kelvora::setplane
