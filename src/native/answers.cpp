// Native answers: a handler that FastAPI calls through an answer route writes its answer's JSON
// itself, the bytes FastAPI would have written, while the same handler called directly returns
// its value as before.
#include "native/answers.hpp"

#include "native/answer_json.hpp"

#include "native/calls.hpp"
#include "native/classes.hpp"
#include "native/coroutine.hpp"
#include "native/errors.hpp"
#include "native/framework.hpp"
#include "native/function.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"

namespace kelvora {

using namespace nb::literals;

namespace {

// A slot is a list: [the value the handler answered, its JSON body, the answer class FastAPI
// writes it with by default, what a host's answer class is handed in its place].
constexpr Py_ssize_t slot_value = 0, slot_body = 1, slot_class = 2, slot_encode = 3, slot_size = 4;

/// The context variable holding the running request's slot; one per module, which both sets
/// it (its routes) and reads it (its handlers).
PyObject* slot_variable() {
    static PyObject* variable = PyContextVar_New("kelvora.answer_slot", nullptr);
    if (!variable) raise_pending();
    return variable;
}

/// The slot set in the request's context for as long as the route's handler runs, and reset
/// however it ends.
class SlotInContext {
public:
    explicit SlotInContext(nb::handle slot)
        : token_(steal_or_raise(PyContextVar_Set(slot_variable(), slot.ptr()))) {}
    SlotInContext(const SlotInContext&) = delete;
    SlotInContext& operator=(const SlotInContext&) = delete;
    ~SlotInContext() {
        // A coroutine destroyed unfinished may be let go of outside the request's context,
        // where its token cannot be used; nothing is left set then but in a context that ends.
        if (PyContextVar_Reset(slot_variable(), token_.ptr()) < 0) PyErr_Clear();
    }

private:
    nb::object token_;
};

/// FastAPI's own test of whether an answer of `status` may have a body.
bool body_allowed(nb::handle status) {
    // Kept for the life of the process, as a module's import would keep it.
    static PyObject* test =
        nb::object(nb::module_::import_("fastapi.utils").attr("is_body_allowed_for_status_code"))
            .release()
            .ptr();
    return is_true(call(test, status));
}

/// The route's request handler: FastAPI's own, with a slot for the handler's answer.
Task answer_request(nb::object fastapi_handler, nb::object request) {
    nb::list slot;
    for (Py_ssize_t i = 0; i < slot_size; ++i)
        slot.append(nb::none());
    nb::object response;
    {
        SlotInContext in_context(slot);
        response = co_await call(fastapi_handler, request);
    }
    nb::handle body = PyList_GET_ITEM(slot.ptr(), slot_body);
    if (!PyBytes_Check(body.ptr())) co_return response;
    // What FastAPI did with the stand-in, it does with the answer: no body for a status that
    // allows none (a dependency's), and a host's answer class renders it.
    if (!body_allowed(response.attr(KELVORA_NAME("status_code")))) co_return response;
    nb::object written = nb::borrow(body);
    if (Py_TYPE(response.ptr()) !=
        reinterpret_cast<PyTypeObject*>(PyList_GET_ITEM(slot.ptr(), slot_class)))
        written = call_method(response, KELVORA_NAME("render"),
                              call(nb::handle(PyList_GET_ITEM(slot.ptr(), slot_encode)),
                                   nb::handle(PyList_GET_ITEM(slot.ptr(), slot_value))));
    response.attr(KELVORA_NAME("body")) = written;
    nb::str length = to_str(std::to_string(nb::len(written)));
    if (PyObject_SetItem(response.attr(KELVORA_NAME("headers")).ptr(),
                         KELVORA_NAME("content-length").ptr(), length.ptr()) < 0)
        raise_pending();
    co_return response;
}

/// `AnswerRoute.get_route_handler(self)`.
nb::object route_handler(nb::handle base_method, Arguments& args) {
    static const FunctionSpec spec{.name = "answer_request",
                                   .qualname = "AnswerRoute.get_route_handler.<locals>.app",
                                   .module = "kelvora",
                                   .parameters = {{"request"}},
                                   .coroutine = coroutine_body<answer_request>()};
    return make_function(spec, call(base_method, args[0]));
}

/// The running request's answer slot when FastAPI called the handler through an answer route and
/// nothing was left there yet; an invalid handle otherwise (a direct call).
nb::handle answer_slot() {
    PyObject* slot = nullptr;
    if (PyContextVar_Get(slot_variable(), nullptr, &slot) < 0) raise_pending();
    nb::object held = nb::steal(slot);
    if (!held.is_valid() || !PyList_CheckExact(slot) || PyList_GET_SIZE(slot) != slot_size ||
        PyList_GET_ITEM(slot, slot_body) != Py_None)
        return nb::handle();
    // The route's handler holds the slot for as long as the request runs.
    return slot;
}

/// Leaves in `slot` the answer `value`, its JSON `body`, the class FastAPI answers it with by
/// default (JSONResponse on a route without an answer model, Response with one), and what a
/// host's answer class renders instead: `encode(value)`.
void leave_answer(nb::handle slot, nb::handle value, std::string body, nb::handle answer_class,
                  nb::handle encode) {
    nb::object bytes = steal_or_raise(
        PyBytes_FromStringAndSize(body.data(), static_cast<Py_ssize_t>(body.size())));
    PyList_SetItem(slot.ptr(), slot_value, nb::borrow(value).release().ptr());
    PyList_SetItem(slot.ptr(), slot_body, bytes.release().ptr());
    PyList_SetItem(slot.ptr(), slot_class, nb::borrow(answer_class).release().ptr());
    PyList_SetItem(slot.ptr(), slot_encode, nb::borrow(encode).release().ptr());
}

} // namespace

nb::handle answer_route_class() {
    // Kept for the life of the process, as the class statement of a module would keep it.
    static nb::handle route_class = [] {
        nb::object api_route = nb::module_::import_("fastapi.routing").attr("APIRoute");
        static const FunctionSpec spec{.name = "get_route_handler",
                                       .qualname = "AnswerRoute.get_route_handler",
                                       .module = "kelvora",
                                       .parameters = {{"self"}},
                                       .body = route_handler};
        return make_class(reinterpret_cast<PyObject*>(&PyType_Type), nb::make_tuple(api_route),
                          "kelvora", "AnswerRoute",
                          "A route whose handler may write its answer's JSON itself.",
                          {{"get_route_handler",
                            make_function(spec, api_route.attr("get_route_handler"))}})
            .release();
    }();
    return route_class;
}

nb::object plain_json_answer(nb::handle value) {
    nb::handle slot = answer_slot();
    if (!slot.is_valid()) return nb::borrow(value);
    std::optional<std::string> body = plain_json(value);
    if (!body) return nb::borrow(value);
    leave_answer(slot, value, std::move(*body), framework().json_response,
                 framework().jsonable_encoder);
    return nb::none();
}

ModelAnswers::ModelAnswers(nb::handle answer_model, nb::handle stand_in_fields)
    : model(nb::borrow(answer_model)),
      stand_in(call_with_mapping(model.attr(KELVORA_NAME("model_construct")), stand_in_fields)),
      content(nb::module_::import_("functools")
                  .attr("partial")(model.attr(KELVORA_NAME("model_dump")), "mode"_a = "json",
                                   "by_alias"_a = true)) {}

nb::object ModelAnswers::answer(nb::handle fields) const {
    nb::handle slot = answer_slot();
    if (!slot.is_valid()) return nb::object();
    std::string body;
    if (!append_any_json(fields, body)) return nb::object();
    // FastAPI answers a model's JSON as a plain Response.
    static PyObject* response =
        nb::object(nb::module_::import_("fastapi.responses").attr("Response")).release().ptr();
    leave_answer(slot, call_with_mapping(model.attr(KELVORA_NAME("model_construct")), fields),
                 std::move(body), response, content);
    return stand_in;
}

} // namespace kelvora
