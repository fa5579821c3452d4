// create_crud_router: checks its arguments, builds one router state and registers the handlers
// closed over it, in the documented order.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora::rowplane {

namespace nb = nanobind;

/// The module function `create_crud_router`; it reads the module's response models and logger
/// when it is called.
nb::object make_create_crud_router(nb::handle module);

} // namespace kelvora::rowplane
