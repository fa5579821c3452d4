// The configuration read without a worker thread: the configuration a store holds is handed
// out without waiting (`held_config`), so the event loop answers it itself; the router's own
// read, which takes the store on a worker thread, answers when the store holds none or
// another operation is using it, or when handing out what it holds fails.
#include "service/config_reads.hpp"

#include "native/answers.hpp"
#include "native/calls.hpp"
#include "native/coroutine.hpp"
#include "native/errors.hpp"
#include "native/function.hpp"
#include "native/names.hpp"

namespace kelvora::service {

namespace {

constexpr const char* module_name = "kelvora._service";

Task read_held_config(nb::object closure) {
    nb::object config;
    try {
        config = call(nb::handle(PyTuple_GET_ITEM(closure.ptr(), 0)));
    } catch (nb::python_error& e) {
        // The router's read meets the same failure, and logs and answers it as its own.
        if (!is_ordinary_exception(e)) throw;
        config = nb::none();
    }
    if (config.is_none()) co_return co_await call(nb::handle(PyTuple_GET_ITEM(closure.ptr(), 1)));
    co_return plain_json_answer(config);
}

/// `held_config_read(store, read)`.
nb::object held_config_read(nb::handle, Arguments& args) {
    static const FunctionSpec spec{
        .name = "get_full_config",
        .qualname = "held_config_read.<locals>.get_full_config",
        .module = module_name,
        .doc = "The configuration the store holds, answered without a worker thread.",
        .parameters = {},
        .coroutine = coroutine_body<read_held_config>()};
    return make_function(
        spec, nb::make_tuple(nb::handle(args[0]).attr(KELVORA_NAME("held_config")), args[1]));
}

} // namespace

nb::object make_held_config_read() {
    static const FunctionSpec spec{
        .name = "held_config_read",
        .module = module_name,
        .doc = "A coroutine function answering store.held_config(), or read() when that gives "
               "None.",
        .parameters = {{"store"}, {"read"}},
        .body = held_config_read};
    return make_function(spec);
}

} // namespace kelvora::service
