// Native answers: a handler that FastAPI calls through an answer route writes its answer's JSON
// itself, the bytes FastAPI would have written, while the same handler called directly returns
// its value as before.
#include "native/answers.hpp"

#include "native/calls.hpp"
#include "native/classes.hpp"
#include "native/coroutine.hpp"
#include "native/errors.hpp"
#include "native/framework.hpp"
#include "native/function.hpp"
#include "native/names.hpp"

#include <cmath>
#include <cstdio>

namespace kelvora {

namespace {

// A slot is a list: [the value the handler answered, its JSON body].
constexpr Py_ssize_t slot_value = 0, slot_body = 1;

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
    slot.append(nb::none());
    slot.append(nb::none());
    nb::object response;
    {
        SlotInContext in_context(slot);
        response = co_await call(fastapi_handler, request);
    }
    nb::handle body = PyList_GET_ITEM(slot.ptr(), slot_body);
    if (!PyBytes_Check(body.ptr())) co_return response;
    // What FastAPI did with the None in the payload's place, it does with the payload: no body
    // for a status that allows none (a dependency's), and a host's response class renders it.
    if (!body_allowed(response.attr(KELVORA_NAME("status_code")))) co_return response;
    nb::object written = nb::borrow(body);
    if (Py_TYPE(response.ptr()) != reinterpret_cast<PyTypeObject*>(framework().json_response.ptr()))
        written = call_method(response, KELVORA_NAME("render"),
                              call(framework().jsonable_encoder,
                                   nb::handle(PyList_GET_ITEM(slot.ptr(), slot_value))));
    response.attr(KELVORA_NAME("body")) = written;
    nb::object length = steal_or_raise(PyObject_Str(nb::int_(nb::len(written)).ptr()));
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

// --- Plain JSON, as json.dumps(ensure_ascii=False, allow_nan=False, separators=(",", ":"))
// writes it ---------------------------------------------------------------------------------

/// Deeper data goes FastAPI's own way, which fails as it always did on a cycle.
constexpr int deepest = 100;

bool write_text(PyObject* text, std::string& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) {
        // Text that UTF-8 cannot hold (a lone surrogate): FastAPI's own way fails on it too.
        PyErr_Clear();
        return false;
    }
    out += '"';
    for (Py_ssize_t i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return true;
}

/// A dict, or a subclass of one that jsonable_encoder reads as one: through dict's own `keys`
/// and `items` (a store's configuration that remembers its revision, say).
bool plain_mapping(PyObject* value) {
    if (PyDict_CheckExact(value)) return true;
    if (!PyDict_Check(value)) return false;
    for (nb::handle name : {KELVORA_NAME("keys"), KELVORA_NAME("items")}) {
        nb::object own = nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type)).attr(name);
        nb::object its = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value))).attr(name);
        if (!own.is(its)) return false;
    }
    return true;
}

bool write_plain(PyObject* value, std::string& out, int depth) {
    if (value == Py_None) {
        out += "null";
    } else if (value == Py_True) {
        out += "true";
    } else if (value == Py_False) {
        out += "false";
    } else if (PyUnicode_CheckExact(value)) {
        return write_text(value, out);
    } else if (PyLong_CheckExact(value)) {
        PyObject* digits = PyObject_Repr(value);
        if (!digits) {
            PyErr_Clear(); // more digits than the interpreter converts
            return false;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(digits, &size);
        out.append(data, static_cast<size_t>(size));
        Py_DECREF(digits);
    } else if (PyFloat_CheckExact(value)) {
        const double number = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(number)) return false;
        char* digits = PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!digits) {
            PyErr_Clear();
            return false;
        }
        out += digits;
        PyMem_Free(digits);
    } else if (depth >= deepest) {
        return false;
    } else if (PyList_CheckExact(value)) {
        out += '[';
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            if (i) out += ',';
            if (!write_plain(PyList_GET_ITEM(value, i), out, depth + 1)) return false;
        }
        out += ']';
    } else if (plain_mapping(value)) {
        out += '{';
        Py_ssize_t position = 0;
        PyObject *key, *item;
        bool first = true;
        while (PyDict_Next(value, &position, &key, &item)) {
            // jsonable_encoder leaves out keys starting with "_sa" (SQLAlchemy's state).
            if (!PyUnicode_CheckExact(key) ||
                PyUnicode_Tailmatch(key, KELVORA_NAME("_sa").ptr(), 0, PY_SSIZE_T_MAX, -1) != 0)
                return false;
            if (!first) out += ',';
            first = false;
            if (!write_text(key, out)) return false;
            out += ':';
            if (!write_plain(item, out, depth + 1)) return false;
        }
        out += '}';
    } else {
        return false;
    }
    return true;
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

nb::handle answer_slot() {
    PyObject* slot = nullptr;
    if (PyContextVar_Get(slot_variable(), nullptr, &slot) < 0) raise_pending();
    nb::object held = nb::steal(slot);
    if (!held.is_valid() || !PyList_CheckExact(slot) || PyList_GET_SIZE(slot) != 2 ||
        PyList_GET_ITEM(slot, slot_body) != Py_None)
        return nb::handle();
    // The route's handler holds the slot for as long as the request runs.
    return slot;
}

void leave_answer(nb::handle slot, nb::handle value, std::string body) {
    nb::object bytes = steal_or_raise(
        PyBytes_FromStringAndSize(body.data(), static_cast<Py_ssize_t>(body.size())));
    PyList_SetItem(slot.ptr(), slot_value, nb::borrow(value).release().ptr());
    PyList_SetItem(slot.ptr(), slot_body, bytes.release().ptr());
}

std::optional<std::string> plain_json(nb::handle value) {
    std::string out;
    if (!write_plain(value.ptr(), out, 0)) return std::nullopt;
    return out;
}

nb::object plain_json_answer(nb::handle value) {
    nb::handle slot = answer_slot();
    if (!slot.is_valid()) return nb::borrow(value);
    std::optional<std::string> body = plain_json(value);
    if (!body) return nb::borrow(value);
    leave_answer(slot, value, std::move(*body));
    return nb::none();
}

} // namespace kelvora
