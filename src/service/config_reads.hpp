// The configuration read answered on the event loop from what the store holds.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora::service {

namespace nb = nanobind;

/// `held_config_read(store, read)`: a coroutine function of no parameters answering
/// `store.held_config()` when it gives a configuration, or what `read()` answers when it gives
/// None. The answer's JSON is written natively when FastAPI calls the function through this
/// module's answer route.
nb::object make_held_config_read();

} // namespace kelvora::service
