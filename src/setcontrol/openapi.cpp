// The OpenAPI description of the control plane on the config router's operations.
#include "setcontrol/openapi.hpp"

#include "setcontrol/control.hpp"

#include "native/attributes.hpp"
#include "native/calls.hpp"
#include "native/function.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

namespace kelvora::setcontrol {

namespace {

nb::object entry(nb::handle mapping, nb::handle key) {
    PyObject* found = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
    if (!found && PyErr_Occurred()) raise_pending();
    return found ? nb::borrow(found) : nb::object();
}

/// Adds a route's control documentation to its operation in `schema`.
void document_operation(nb::handle schema, nb::handle route, nb::handle documentation) {
    nb::object paths = entry(schema, KELVORA_NAME("paths"));
    nb::object operations =
        paths.is_valid() ? entry(paths, route.attr(KELVORA_NAME("path_format"))) : nb::object();
    if (!operations.is_valid()) return;
    for (nb::handle method : route.attr(KELVORA_NAME("methods"))) {
        nb::object operation = entry(operations, call_method(method, KELVORA_NAME("lower")));
        if (!operation.is_valid()) continue;
        nb::object parameters = entry(operation, KELVORA_NAME("parameters"));
        if (!parameters.is_valid()) {
            parameters = nb::list();
            PyDict_SetItem(operation.ptr(), KELVORA_NAME("parameters").ptr(), parameters.ptr());
        }
        for (nb::handle parameter : documentation["parameters"]) {
            bool present = false;
            for (nb::handle existing : parameters)
                present = present || (existing["name"].equal(parameter["name"]) &&
                                      existing["in"].equal(parameter["in"]));
            if (!present) call_method(parameters, KELVORA_NAME("append"), parameter);
        }
        nb::object responses = entry(operation, KELVORA_NAME("responses"));
        for (auto [status, answer] : nb::borrow<nb::dict>(documentation["responses"]))
            if (!entry(responses, status).is_valid())
                PyDict_SetItem(responses.ptr(), status.ptr(), answer.ptr());
    }
}

/// The app's `openapi()`: the original's schema, with the control plane documented on it.
nb::object documented_openapi(nb::handle closure, Arguments&) {
    nb::handle app = item(closure, 0), original = item(closure, 1);
    nb::object schema = call(original);
    // FastAPI from 0.16x keeps included routers as entries of their own, which it walks with
    // iter_route_contexts; earlier releases list every route in `app.routes`.
    nb::object routes = app.attr(KELVORA_NAME("routes")), walk;
    if (lookup_attribute(nb::module_::import_("fastapi.routing"),
                         KELVORA_NAME("iter_route_contexts"), walk))
        routes = call(walk, routes);
    for (nb::handle route : routes) {
        nb::object endpoint, documentation;
        if (!lookup_attribute(route, KELVORA_NAME("endpoint"), endpoint)) continue;
        if (!lookup_attribute(endpoint, KELVORA_NAME("control_openapi"), documentation)) continue;
        document_operation(schema, route, documentation);
    }
    return schema;
}

nb::object document_control_plane(nb::handle, Arguments& args) {
    nb::handle app = args[0];
    static const FunctionSpec spec{.name = "openapi",
                                   .qualname = "document_control_plane.<locals>.openapi",
                                   .module = module_name,
                                   .doc = "The application's OpenAPI schema, the control plane "
                                          "documented on the config router's operations.",
                                   .parameters = {},
                                   .body = documented_openapi};
    nb::object original = app.attr(KELVORA_NAME("openapi"));
    app.attr(KELVORA_NAME("openapi")) = make_function(spec, nb::make_tuple(app, original));
    return nb::none();
}

} // namespace

nb::dict parameter_documentation(const char* name, const char* in, nb::dict schema,
                                 const char* description) {
    nb::dict parameter;
    parameter["name"] = name;
    parameter["in"] = in;
    parameter["required"] = false;
    parameter["schema"] = schema;
    parameter["description"] = description;
    return parameter;
}

nb::object make_document_control_plane() {
    static const FunctionSpec spec{
        .name = "document_control_plane",
        .module = module_name,
        .doc = "Document the control plane in app.openapi(): the headers, query parameters and "
               "answers (304, 409, 412, 422) that the control router adds to the config "
               "router's operations. Call it once, after including both routers.",
        .parameters = {{"app"}},
        .return_annotation = "None",
        .body = document_control_plane};
    return make_function(spec);
}

} // namespace kelvora::setcontrol
