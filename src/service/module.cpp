// The module kelvora._service: the service's middleware, on every request, written natively.
#include "service/middleware.hpp"

#include "native/module.hpp"

namespace {

namespace nb = nanobind;
namespace service = kelvora::service;

constexpr const char* module_doc = R"(
The hot path of kelvora serve's ASGI middleware

Every request passes through the request id and metrics middleware and the path check, so
their calls are native: the request's id taken or made, the answer's status and time handed to
the middleware's counting, and the request passed on without a frame of its own where nothing
follows it. kelvora.service.observability and kelvora.service.security hold the middleware
classes and use these as their __call__.
)";

} // namespace

KELVORA_MODULE(_service, m) {
    m.attr("__doc__") = module_doc;
    m.attr("observing_call") = service::make_observing_call();
    m.attr("refusing_call") = service::make_refusing_call();
}
