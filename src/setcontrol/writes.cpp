// The write step every writing handler shares: the store's write under the request's conditions.
#include "setcontrol/conditions.hpp"
#include "setcontrol/handlers.hpp"

#include "native/attributes.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"

#include <vector>

namespace kelvora::setcontrol {

namespace {

Task write_under_conditions(nb::object state, nb::object method, nb::object conditions,
                            nb::object args) {
    ControlRouter& r = state_of<ControlRouter>(state);
    bool stored = true;
    try {
        nb::object check = precondition(conditions);
        nb::object bound = r.store.attr(method);
        static PyObject* keywords = Py_BuildValue("(s)", "precondition");
        std::vector<PyObject*> argv{nullptr, bound.ptr()};
        for (nb::handle arg : args)
            argv.push_back(arg.ptr());
        argv.push_back(check.ptr());
        nb::object awaitable = steal_or_raise(
            PyObject_Vectorcall(r.run_in_threadpool.ptr(), argv.data() + 1,
                                (argv.size() - 2) | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords));
        co_await awaitable;
    } catch (nb::python_error& e) {
        if (e.matches(r.not_stored))
            stored = false;
        else if (e.matches(r.write_lock_lost))
            raise_http_error(409, py_format(e.value()), e.value());
        else
            throw;
    }
    WriteConditions& c = state_of<WriteConditions>(conditions);
    if (stored && !c.author.is_none()) {
        nb::object revision =
            steal_or_raise(PyObject_GetItem(c.stored.ptr(), KELVORA_NAME("revision").ptr()));
        co_await r.in_thread(KELVORA_NAME("record_author"), revision, c.author);
    }
    co_return nb::bool_(stored);
}

} // namespace

nb::object author_named(nb::handle principal) {
    if (PyUnicode_Check(principal.ptr())) return nb::borrow(principal);
    nb::object name;
    if (PyDict_Check(principal.ptr())) {
        PyObject* found = PyDict_GetItemString(principal.ptr(), "name");
        if (found) name = nb::borrow(found);
    } else if (!principal.is_none()) {
        lookup_attribute(principal, KELVORA_NAME("name"), name);
    }
    if (name.is_valid() && PyUnicode_Check(name.ptr())) return name;
    return nb::none();
}

nb::object conditional_write(nb::handle state, nb::handle method, nb::handle conditions,
                             nb::handle args) {
    return start(write_under_conditions(nb::borrow(state), nb::borrow(method),
                                        nb::borrow(conditions), nb::borrow(args)),
                 KELVORA_NAME("create_config_control_router.<locals>._write"));
}

} // namespace kelvora::setcontrol
