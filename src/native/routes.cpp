// Routes: handlers made with the signature FastAPI reads their parameters from, and registered on
// a router with the decorator its route method returns.
#include "native/routes.hpp"

#include "native/answers.hpp"
#include "native/errors.hpp"

namespace kelvora {

using namespace nb::literals;

HandlerSignature::HandlerSignature() {
    nb::module_ inspect = nb::module_::import_("inspect");
    parameter_type_ = inspect.attr("Parameter");
    signature_type_ = inspect.attr("Signature");
}

void HandlerSignature::add(const char* name, nb::handle annotation, nb::handle default_value) {
    nb::object empty = parameter_type_.attr("empty");
    nb::object kind = parameter_type_.attr("POSITIONAL_OR_KEYWORD");
    parameters_.append(parameter_type_(
        name, kind, "annotation"_a = annotation.is_valid() ? nb::borrow(annotation) : empty,
        "default"_a = default_value.is_valid() ? nb::borrow(default_value) : empty));
    if (annotation.is_valid()) annotations_[name] = annotation;
}

void HandlerSignature::extend(nb::handle parameters) {
    for (nb::handle parameter : parameters)
        parameters_.append(parameter);
}

nb::object HandlerSignature::signature() const {
    return signature_type_(parameters_);
}

void add_route(nb::handle router, const char* method, nb::handle path, nb::handle route_options,
               const FunctionSpec& spec, nb::handle closure, nb::handle defaults,
               const HandlerSignature& signature, Answers answers) {
    nb::object handler = make_function(spec, closure, defaults);
    handler.attr("__annotations__") = signature.annotations();
    handler.attr("__signature__") = signature.signature();
    if (answers == Answers::ByHandler) {
        // What `router.<method>(path, ...)` does, with the route class of its own.
        nb::dict options = nb::steal<nb::dict>(PyDict_Copy(route_options.ptr()));
        if (!options.is_valid()) raise_pending();
        nb::list methods;
        methods.append(nb::str(method).attr("upper")());
        options["methods"] = methods;
        options["route_class_override"] = answer_route_class();
        steal_or_raise(PyObject_Call(router.attr("add_api_route").ptr(),
                                     nb::make_tuple(path, handler).ptr(), options.ptr()));
        return;
    }
    nb::object decorator = steal_or_raise(
        PyObject_Call(router.attr(method).ptr(), nb::make_tuple(path).ptr(), route_options.ptr()));
    decorator(handler);
}

} // namespace kelvora
