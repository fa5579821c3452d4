// The module kelvora._service: the service's middleware, on every request, written natively.
#include "service/config_reads.hpp"
#include "service/middleware.hpp"

#include "native/answers.hpp"
#include "native/framework.hpp"
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

The configuration read is answered on the event loop from the configuration the store holds,
its JSON written natively through this module's AnswerRoute.
)";

} // namespace

KELVORA_MODULE(_service, m) {
    m.attr("__doc__") = module_doc;
    m.attr("observing_call") = service::make_observing_call();
    m.attr("refusing_call") = service::make_refusing_call();
    // The answers' JSON is left for FastAPI's JSONResponse, which the framework record holds.
    kelvora::import_framework(m, {}, {});
    m.attr("AnswerRoute") = kelvora::answer_route_class();
    m.attr("held_config_read") = service::make_held_config_read();
}
