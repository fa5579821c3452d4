// Module definition: multi-phase initialisation, once per process, in one interpreter.
#include "native/module.hpp"

#include "native/coroutine.hpp"
#include "native/errors.hpp"
#include "native/function.hpp"
#include "native/state.hpp"

#include <string>

namespace kelvora {

namespace {
// The module's own record of where and whether it ran: its types live in that interpreter.
PyInterpreterState* home_interpreter = nullptr;
bool executed = false;
} // namespace

int execute_module(PyObject* module, const char* short_name, ModuleBody body) noexcept {
    PyInterpreterState* current = PyInterpreterState_Get();
    if (home_interpreter && home_interpreter != current) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only be "
                                           "loaded into one interpreter per process.");
        return -1;
    }
    if (executed) {
        std::string text = std::string("Module '") + short_name +
                           "' has already been imported. Re-initialisation is not supported.";
        PyErr_SetString(PyExc_ImportError, text.c_str());
        return -1;
    }
    // The native types are made in this interpreter from here on, whether or not the execution
    // succeeds.
    home_interpreter = current;

    nb::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, module);
    if (!nb::detail::internals) return -1;
    try {
        init_function_type();
        init_coroutine_type();
        init_state_type();
        body(nb::borrow<nb::module_>(module));
        executed = true;
        return 0;
    } catch (...) {
        restore_current_exception();
        return -1;
    }
}

} // namespace kelvora
