// The route class of a control router's routes on the config router's paths: they match only
// the requests that use the control plane, and leave every other one to the config router.
#include "setcontrol/route_class.hpp"

#include "setcontrol/control.hpp"

#include "native/calls.hpp"
#include "native/classes.hpp"
#include "native/function.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

#include <string>
#include <string_view>

namespace kelvora::setcontrol {

namespace {

std::string_view bytes_of(nb::handle value) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(value.ptr(), &data, &size) < 0) raise_pending();
    return {data, static_cast<size_t>(size)};
}

bool names_control_header(nb::handle headers) {
    for (nb::handle pair : headers) {
        const std::string_view name = bytes_of(item(pair, 0));
        if (name == "if-match" || name == "if-none-match") return true;
        if (name == "accept" &&
            bytes_of(item(pair, 1)).find("text/event-stream") != std::string_view::npos)
            return true;
    }
    return false;
}

bool names_control_parameter(std::string_view query) {
    while (!query.empty()) {
        const size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::string_view key = pair.substr(0, pair.find('='));
        if (key == "dry_run" || key == "wait" || key == "index") return true;
    }
    return false;
}

nb::object get(nb::handle mapping, const char* key) {
    return steal_or_raise(PyObject_GetItem(mapping.ptr(), nb::str(key).ptr()));
}

/// `ControlRoute.matches(self, scope)`.
nb::object matches(nb::handle closure, Arguments& args) {
    nb::handle self = args[0], scope = args[1];
    nb::handle state = item(closure, 0), api_route = item(closure, 1), none = item(closure, 2);
    nb::object result = call(api_route.attr(KELVORA_NAME("matches")), self, scope);
    nb::object match = item(result, 0);
    if (match.is(none)) return result;
    const ControlRouter& r = state_of<ControlRouter>(state);
    const std::string method = utf8(get(scope, "method"));
    if (method == "GET") {
        nb::object path_params = get(item(result, 1), "path_params");
        PyObject* section = PyDict_GetItemString(path_params.ptr(), "section");
        if (section && PyUnicode_Check(section) &&
            PyUnicode_CompareWithASCIIString(section, "versions") == 0)
            return nb::make_tuple(none, nb::dict());
    }
    const bool claimed = names_control_header(get(scope, "headers")) ||
                         names_control_parameter(bytes_of(get(scope, "query_string"))) ||
                         (method != "GET" && r.validates());
    return claimed ? result : nb::object(nb::make_tuple(none, nb::dict()));
}

} // namespace

nb::object make_control_route_class(nb::handle state) {
    nb::object api_route = nb::module_::import_("fastapi.routing").attr("APIRoute");
    nb::object none = nb::module_::import_("starlette.routing").attr("Match").attr("NONE");
    static const FunctionSpec spec{.name = "matches",
                                   .qualname = "ControlRoute.matches",
                                   .module = module_name,
                                   .parameters = {{"self"}, {"scope"}},
                                   .body = matches};
    nb::object method = make_function(spec, nb::make_tuple(state, api_route, none));
    return make_class(reinterpret_cast<PyObject*>(&PyType_Type), nb::make_tuple(api_route),
                      module_name, "ControlRoute",
                      "A route that answers only the requests that use the control plane.",
                      {{"matches", method}});
}

} // namespace kelvora::setcontrol
