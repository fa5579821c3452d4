// The state one control router shares among its handlers, and the steps every handler uses.
#include "setcontrol/control.hpp"

#include "native/calls.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"

namespace kelvora::setcontrol {

namespace {

using namespace nb::literals;

Task run_reload_callback(nb::object callback, nb::object iscoroutinefunction,
                         nb::object run_in_threadpool, nb::object logger) {
    Logger log(logger);
    try {
        if (is_true(call(iscoroutinefunction, callback)))
            co_await call(callback);
        else
            co_await call(run_in_threadpool, callback);
    } catch (nb::python_error& e) {
        if (!is_ordinary_exception(e)) throw;
        log.warning("Reload callback failed: " + py_format(e.value()));
    }
    co_return nb::none();
}

} // namespace

nb::object ControlRouter::get_config(bool refresh) const {
    static PyObject* keywords = Py_BuildValue("(s)", "refresh");
    nb::object method = store.attr(KELVORA_NAME("get_config"));
    PyObject* argv[] = {nullptr, method.ptr(), refresh ? Py_True : Py_False};
    return steal_or_raise(PyObject_Vectorcall(run_in_threadpool.ptr(), argv + 1,
                                              1 | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords));
}

nb::object ControlRouter::shaped(nb::handle config) const {
    if (is_true(config_model)) return call_with_mapping(config_model, config);
    return nb::borrow(config);
}

nb::object ControlRouter::answer(nb::handle content, const std::string& etag) const {
    nb::dict headers;
    if (!etag.empty()) headers["ETag"] = to_str(etag);
    return json_response(call(jsonable_encoder, content), "headers"_a = headers);
}

nb::object reload_step(const ControlRouter& r) {
    return start(run_reload_callback(r.reload_callback, r.iscoroutinefunction, r.run_in_threadpool,
                                     nb::borrow(r.log.object())),
                 KELVORA_NAME("create_config_control_router.<locals>._reload"));
}

} // namespace kelvora::setcontrol
