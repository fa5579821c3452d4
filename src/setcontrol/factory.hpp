// create_config_control_router: the function that builds a control router over a ConfigStore.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora::setcontrol {

namespace nb = nanobind;

/// The factory function; it reads the module's globals (the logger, the dry-run signal) when it
/// is called.
nb::object make_control_router_factory(nb::handle module);

} // namespace kelvora::setcontrol
