// The state one config router shares among its handlers, and the steps every handler uses.
#include "setplane/router.hpp"

#include "native/calls.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"

namespace kelvora::setplane {

namespace {

Task run_reload_callback(nb::object state, bool log_success) {
    ConfigRouter& r = state_of<ConfigRouter>(state);
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

} // namespace kelvora::setplane
