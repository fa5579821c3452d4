// Handlers of the whole configuration: read it, replace it, merge keys into it, reload it.
#include "setplane/handlers.hpp"
#include "setplane/router.hpp"

#include "native/calls.hpp"
#include "native/literals.hpp"
#include "native/models.hpp"
#include "native/names.hpp"

namespace kelvora::setplane {

namespace {

using namespace nb::literals;

Task get_full_config_task(nb::object state) {
    ConfigRouter& r = router_of(state);
    try {
        nb::object config = co_await r.get_config(false);
        co_return r.shaped(config);
    } catch (nb::python_error& e) {
        r.fail(e, "Error reading config: ", "Failed to read config: ");
    }
}

Task replace_config_task(nb::object state, nb::object new_config) {
    ConfigRouter& r = router_of(state);
    try {
        if (is_true(r.config_model))
            new_config = model_as_dict(call_with_mapping(r.config_model, new_config));
        co_await r.in_thread(KELVORA_NAME("update_config"), new_config);
        nb::object config = co_await r.get_config(true);
        if (r.reloads()) co_await reload_step(state, false);
        r.log.info("Replaced full config for " + r.config_name_text);
        co_return r.shaped(config);
    } catch (nb::python_error& e) {
        r.pass_http_exception(e);
        r.fail(e, "Error replacing config: ", "Failed to replace config: ");
    }
}

Task update_config_task(nb::object state, nb::object patch) {
    ConfigRouter& r = router_of(state);
    try {
        nb::object config = co_await r.in_thread(KELVORA_NAME("patch_config"), patch);
        if (r.reloads()) co_await reload_step(state, false);
        r.log.info("Patched config for " + r.config_name_text);
        co_return r.shaped(config);
    } catch (nb::python_error& e) {
        r.pass_http_exception(e);
        r.fail(e, "Error patching config: ", "Failed to patch config: ");
    }
}

Task reload_config_task(nb::object state) {
    ConfigRouter& r = router_of(state);
    try {
        nb::object config = co_await r.get_config(true);
        if (r.reloads()) co_await reload_step(state, true);
        r.log.info("Reloaded config for " + r.config_name_text);
        // The answer carries the payload as read, never shaped by the configuration model.
        co_return r.reload_model("status"_a = KELVORA_NAME("success"),
                                 "message"_a =
                                     to_str("Configuration reloaded for " + r.config_name_text),
                                 "config"_a = config);
    } catch (nb::python_error& e) {
        r.fail(e, "Error reloading config: ", "Failed to reload config: ");
    }
}

} // namespace

nb::object get_full_config(nb::handle state, Arguments&) {
    return start(get_full_config_task(nb::borrow(state)),
                 KELVORA_NAME("create_config_router.<locals>.get_full_config"));
}

nb::object replace_config(nb::handle state, Arguments& args) {
    return start(replace_config_task(nb::borrow(state), nb::borrow(args[0])),
                 KELVORA_NAME("create_config_router.<locals>.replace_config"));
}

nb::object update_config(nb::handle state, Arguments& args) {
    return start(update_config_task(nb::borrow(state), nb::borrow(args[0])),
                 KELVORA_NAME("create_config_router.<locals>.update_config"));
}

nb::object reload_config(nb::handle state, Arguments&) {
    return start(reload_config_task(nb::borrow(state)),
                 KELVORA_NAME("create_config_router.<locals>.reload_config"));
}

} // namespace kelvora::setplane
