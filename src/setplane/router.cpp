// The state one config router shares among its handlers, and the steps every handler uses.
#include "setplane/router.hpp"

#include "native/calls.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"

namespace kelvora::setplane {

namespace {

using namespace nb::literals;

struct StateObject {
    PyObject_HEAD ConfigRouter* router;
};

PyTypeObject* state_type = nullptr;

StateObject* as_state(PyObject* self) {
    return reinterpret_cast<StateObject*>(self);
}

int state_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (ConfigRouter* r = as_state(self)->router)
        return r->visit([&](PyObject* o) -> int {
            Py_VISIT(o);
            return 0;
        });
    return 0;
}

int state_clear(PyObject* self) {
    // Breaking a cycle through the host's objects (a reload callback that holds the application,
    // say) drops the whole router state; nothing can call a handler of it any more.
    StateObject* s = as_state(self);
    ConfigRouter* router = s->router;
    s->router = nullptr;
    delete router;
    return 0;
}

void state_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    state_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot state_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(state_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(state_clear)},
    {0, nullptr},
};

PyType_Spec state_spec = {
    "kelvora.setplane.ConfigRouterState",
    sizeof(StateObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    state_slots,
};

Task run_reload_callback(nb::object state, bool log_success) {
    ConfigRouter& r = router_of(state);
    try {
        if (is_true(call(r.iscoroutinefunction, r.reload_callback)))
            co_await call(r.reload_callback);
        else
            co_await call(r.run_in_threadpool, r.reload_callback);
        if (log_success) r.log.info("Reload callback executed successfully");
    } catch (nb::python_error& e) {
        if (!is_ordinary_exception(e)) throw;
        r.log.warning("Reload callback failed: " + py_format(e.value()));
    }
    co_return nb::none();
}

} // namespace

void init_state_type() {
    if (!state_type)
        state_type = reinterpret_cast<PyTypeObject*>(
            steal_or_raise(PyType_FromSpec(&state_spec)).release().ptr());
}

nb::object make_state() {
    StateObject* s = PyObject_GC_New(StateObject, state_type);
    if (!s) raise_pending();
    s->router = nullptr;
    nb::object result = nb::steal(reinterpret_cast<PyObject*>(s));
    s->router = new ConfigRouter();
    PyObject_GC_Track(s);
    return result;
}

ConfigRouter& router_of(nb::handle state) {
    ConfigRouter* router = as_state(state.ptr())->router;
    if (!router) raise(PyExc_RuntimeError, "the config router has been released");
    return *router;
}

nb::object reload_step(nb::handle state, bool log_success) {
    return start(run_reload_callback(nb::borrow(state), log_success),
                 KELVORA_NAME("create_config_router.<locals>._reload"));
}

nb::object ConfigRouter::get_config(bool refresh) const {
    static PyObject* keywords = Py_BuildValue("(s)", "refresh");
    nb::object method = store.attr(KELVORA_NAME("get_config"));
    PyObject* argv[] = {nullptr, method.ptr(), refresh ? Py_True : Py_False};
    return steal_or_raise(PyObject_Vectorcall(run_in_threadpool.ptr(), argv + 1,
                                              1 | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords));
}

nb::object ConfigRouter::shaped(nb::handle config) const {
    if (is_true(config_model)) return call_with_mapping(config_model, config);
    return nb::borrow(config);
}

void ConfigRouter::refuse(int status, std::string_view detail, nb::handle replaced) const {
    nb::object exception = http_exception("status_code"_a = status, "detail"_a = to_str(detail));
    if (replaced.is_valid()) PyException_SetContext(exception.ptr(), replaced.inc_ref().ptr());
    raise_object(exception);
}

void ConfigRouter::pass_http_exception(const nb::python_error& error) const {
    if (error.matches(http_exception)) throw;
}

void ConfigRouter::fail(const nb::python_error& error, std::string_view log_text,
                        std::string_view detail_text) const {
    if (!is_ordinary_exception(error)) throw;
    const std::string text = py_format(error.value());
    log.error(std::string(log_text) + text, error.value());
    // As `raise` inside an `except` block would, the answer keeps the error it replaces.
    refuse(500, std::string(detail_text) + text, error.value());
}

nb::object call_with_mapping(nb::handle callable, nb::handle mapping) {
    nb::object keywords = steal_or_raise(PyDict_New());
    if (_PyDict_MergeEx(keywords.ptr(), mapping.ptr(), 2) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
        PyErr_Clear();
        nb::object described = steal_or_raise(_PyObject_FunctionStr(callable.ptr()));
        raise(PyExc_TypeError, utf8(described) + " argument after ** must be a mapping, not " +
                                   python_type_name(mapping));
    }
    nb::object no_arguments = steal_or_raise(PyTuple_New(0));
    return steal_or_raise(PyObject_Call(callable.ptr(), no_arguments.ptr(), keywords.ptr()));
}

nb::dict ordered(std::initializer_list<std::pair<nb::handle, nb::handle>> entries) {
    nb::object result =
        steal_or_raise(_PyDict_NewPresized(static_cast<Py_ssize_t>(entries.size())));
    for (const auto& [key, value] : entries)
        if (PyDict_SetItem(result.ptr(), key.ptr(), value.ptr())) raise_pending();
    return nb::steal<nb::dict>(result.release());
}

} // namespace kelvora::setplane
