// The hot path of the service's ASGI middleware: request ids, answers counted, paths refused.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora::service {

namespace nb = nanobind;

/// `observing_call(request_id, engine_failures)`: `Observe.__call__` for those two context
/// variables, a coroutine function of (self, scope, receive, send).
nb::object make_observing_call();

/// `RefuseControlCharacters.__call__`: (self, scope, receive, send), giving the awaitable of
/// `self.app`, or of `self.refuse` for a path with a control character.
nb::object make_refusing_call();

} // namespace kelvora::service
