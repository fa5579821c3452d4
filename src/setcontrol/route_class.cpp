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

bool names_control_header(nb::handle headers) {
    for (nb::handle pair : headers) {
        const std::string_view name = bytes_view(item(pair, 0));
        if (name == "if-match" || name == "if-none-match") return true;
        if (name == "accept" &&
            bytes_view(item(pair, 1)).find("text/event-stream") != std::string_view::npos)
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

/// Whether a request uses the control plane: its headers, its query parameters, or (when the
/// router validates configurations) a write.
bool claims(const ControlRouter& r, nb::handle scope, const std::string& method) {
    return names_control_header(get(scope, "headers")) ||
           names_control_parameter(bytes_view(get(scope, "query_string"))) ||
           (method != "GET" && r.validates());
}

nb::object no_match(nb::handle none) {
    return nb::make_tuple(none, nb::dict());
}

/// `ControlRoute.matches(self, scope)`.
nb::object route_matches(nb::handle closure, Arguments& args) {
    nb::handle self = args[0], scope = args[1];
    nb::handle state = item(closure, 0), api_route = item(closure, 1), none = item(closure, 2);
    nb::object result = call(api_route.attr(KELVORA_NAME("matches")), self, scope);
    nb::object match = item(result, 0);
    if (match.is(none)) return result;
    const std::string method = utf8(get(scope, "method"));
    if (method == "GET") {
        nb::object path_params = get(item(result, 1), "path_params");
        PyObject* section = PyDict_GetItemString(path_params.ptr(), "section");
        if (section && PyUnicode_Check(section) &&
            PyUnicode_CompareWithASCIIString(section, "versions") == 0)
            return no_match(none);
    }
    return claims(state_of<ControlRouter>(state), scope, method) ? result : no_match(none);
}

/// `ControlRoutes.matches(self, scope)`: a request that does not use the control plane is
/// refused before any of the routes' patterns is tried (the framework asks an included router
/// first, then each of its routes).
nb::object router_matches(nb::handle closure, Arguments& args) {
    nb::handle self = args[0], scope = args[1];
    nb::handle state = item(closure, 0), api_router = item(closure, 1), none = item(closure, 2);
    if (!claims(state_of<ControlRouter>(state), scope, utf8(get(scope, "method"))))
        return no_match(none);
    return call(api_router.attr(KELVORA_NAME("matches")), self, scope);
}

/// `ControlPlaneRoutes.matches(self, scope)`: besides the overlay, the control router holds only
/// the history routes, each of whose paths holds "/versions/" or "/revisions/"; a request whose
/// path holds neither, and that does not use the control plane, reaches none of its routes.
nb::object plane_matches(nb::handle closure, Arguments& args) {
    nb::handle self = args[0], scope = args[1];
    nb::handle state = item(closure, 0), api_router = item(closure, 1), none = item(closure, 2);
    const std::string path = utf8(get(scope, "path"));
    const bool names_history = path.find("/versions/") != std::string::npos ||
                               path.find("/revisions/") != std::string::npos;
    if (!names_history &&
        !claims(state_of<ControlRouter>(state), scope, utf8(get(scope, "method"))))
        return no_match(none);
    return call(api_router.attr(KELVORA_NAME("matches")), self, scope);
}

nb::object subclass(nb::handle base, const char* name, const char* doc, const FunctionSpec& spec,
                    nb::handle state) {
    nb::object none = nb::module_::import_("starlette.routing").attr("Match").attr("NONE");
    nb::object method = make_function(spec, nb::make_tuple(state, base, none));
    return make_class(reinterpret_cast<PyObject*>(&PyType_Type), nb::make_tuple(base), module_name,
                      name, doc, {{"matches", method}});
}

} // namespace

nb::object make_control_route_class(nb::handle state) {
    static const FunctionSpec spec{.name = "matches",
                                   .qualname = "ControlRoute.matches",
                                   .module = module_name,
                                   .parameters = {{"self"}, {"scope"}},
                                   .body = route_matches};
    return subclass(nb::module_::import_("fastapi.routing").attr("APIRoute"), "ControlRoute",
                    "A route that answers only the requests that use the control plane.", spec,
                    state);
}

nb::object make_control_routes_class(nb::handle state) {
    static const FunctionSpec spec{.name = "matches",
                                   .qualname = "ControlRoutes.matches",
                                   .module = module_name,
                                   .parameters = {{"self"}, {"scope"}},
                                   .body = router_matches};
    return subclass(nb::module_::import_("fastapi.routing").attr("APIRouter"), "ControlRoutes",
                    "The router of the control routes on the config router's paths.", spec, state);
}

nb::object make_control_plane_class(nb::handle state) {
    static const FunctionSpec spec{.name = "matches",
                                   .qualname = "ControlPlaneRoutes.matches",
                                   .module = module_name,
                                   .parameters = {{"self"}, {"scope"}},
                                   .body = plane_matches};
    return subclass(nb::module_::import_("fastapi.routing").attr("APIRouter"), "ControlPlaneRoutes",
                    "The control router: its overlay and history routes.", spec, state);
}

} // namespace kelvora::setcontrol
