// Watching the configuration: a long poll answering once the version passes an index, and a
// stream of server-sent change events, both fed by the store's shared change feed.
#include "setcontrol/conditions.hpp"
#include "setcontrol/handlers.hpp"

#include "native/calls.hpp"
#include "native/function.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

#include <string>

namespace kelvora::setcontrol {

namespace {

using namespace nb::literals;

/// How long a long poll waits when the request gives an index but no wait.
constexpr double default_wait = 30.0;

Task poll_for_change(nb::object state, nb::object wait, nb::object index) {
    ControlRouter& r = state_of<ControlRouter>(state);
    try {
        nb::object feed = co_await call(r.feed_of, r.store);
        nb::object seconds = wait.is_none() ? nb::object(nb::float_(default_wait)) : wait;
        co_await call_method(feed, KELVORA_NAME("wait"), index, seconds);
        nb::object config = co_await r.get_config(true);
        nb::object version = config.attr(KELVORA_NAME("version"));
        nb::object response =
            r.answer(r.shaped(config), etag_of(version, config.attr(KELVORA_NAME("revision"))));
        response.attr("headers")["X-Config-Index"] = nb::str(version);
        co_return response;
    } catch (...) {
        fail_request(r.log, "Error watching config: ", "Failed to watch config: ", own_http_errors);
    }
}

/// The revision a resumed stream names (SSE's Last-Event-ID), or None.
nb::object resumed_after(nb::handle last_event_id) {
    if (last_event_id.is_none()) return nb::none();
    const std::string text = utf8(last_event_id);
    if (text.empty() || text.size() > 20 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        raise_http_error(400, "Last-Event-ID must be a revision number, not '" + text + "'");
    return steal_or_raise(PyLong_FromString(text.c_str(), nullptr, 10));
}

Task stream_changes(nb::object state, nb::object last_event_id) {
    ControlRouter& r = state_of<ControlRouter>(state);
    nb::object after = resumed_after(last_event_id);
    try {
        nb::object feed = co_await call(r.feed_of, r.store);
        nb::object events = call_method(feed, KELVORA_NAME("events"), after, r.event_encoder);
        nb::dict headers;
        headers["Cache-Control"] = "no-cache";
        headers["X-Accel-Buffering"] = "no";
        co_return r.streaming_response(events, "media_type"_a = "text/event-stream",
                                       "headers"_a = headers);
    } catch (...) {
        fail_request(r.log, "Error watching config: ", "Failed to watch config: ", own_http_errors);
    }
}

/// `id: <revision>`, `event: change` and the event as JSON; a comment for a heartbeat.
nb::object encode_event(nb::handle dumps, Arguments& args) {
    nb::handle event = args[0];
    if (event.is_none()) return nb::str(": keep-alive\n\n");
    nb::object revision =
        steal_or_raise(PyObject_GetItem(event.ptr(), KELVORA_NAME("revision").ptr()));
    nb::object data = call(dumps, event);
    return to_str("id: " + py_format(revision) + "\nevent: change\ndata: " + utf8(data) + "\n\n");
}

} // namespace

nb::object long_poll(nb::handle state, nb::handle wait, nb::handle index) {
    return start(poll_for_change(nb::borrow(state), nb::borrow(wait), nb::borrow(index)),
                 KELVORA_NAME("create_config_control_router.<locals>.get_full_config"));
}

nb::object event_stream(nb::handle state, nb::handle last_event_id) {
    return start(stream_changes(nb::borrow(state), nb::borrow(last_event_id)),
                 KELVORA_NAME("create_config_control_router.<locals>.get_full_config"));
}

nb::object make_event_encoder() {
    static const FunctionSpec spec{.name = "encode_event",
                                   .qualname = "create_config_control_router.<locals>.encode_event",
                                   .module = module_name,
                                   .parameters = {{"event"}},
                                   .body = encode_event};
    nb::object dumps = nb::module_::import_("functools")
                           .attr("partial")(nb::module_::import_("json").attr("dumps"),
                                            "separators"_a = nb::make_tuple(",", ":"));
    return make_function(spec, dumps);
}

} // namespace kelvora::setcontrol
