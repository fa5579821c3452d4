// Handlers of the whole configuration: read it, replace it, merge keys into it, reload it.
#include "setplane/handlers.hpp"
#include "setplane/router.hpp"

#include "native/answers.hpp"
#include "native/calls.hpp"
#include "native/literals.hpp"
#include "native/models.hpp"
#include "native/names.hpp"

namespace kelvora::setplane {

using namespace nb::literals;

Task get_full_config(nb::object state) {
    ConfigRouter& r = state_of<ConfigRouter>(state);
    try {
        nb::object config = co_await r.get_config(false);
        if (is_true(r.config_model)) co_return r.shaped(config);
        co_return plain_json_answer(config);
    } catch (...) {
        fail_request(r.log, "Error reading config: ", "Failed to read config: ", every_error);
    }
}

Task replace_config(nb::object state, nb::object new_config) {
    ConfigRouter& r = state_of<ConfigRouter>(state);
    refuse_text_without_utf8(new_config);
    try {
        if (is_true(r.config_model))
            new_config = model_as_dict(call_with_mapping(r.config_model, new_config));
        co_await r.in_thread(KELVORA_NAME("update_config"), new_config);
        nb::object config = co_await r.get_config(true);
        if (r.reloads()) co_await reload_step(state, false);
        r.log.info("Replaced full config for " + r.config_name_text);
        co_return r.shaped(config);
    } catch (...) {
        fail_request(r.log,
                     "Error replacing config: ", "Failed to replace config: ", own_http_errors);
    }
}

Task update_config(nb::object state, nb::object patch) {
    ConfigRouter& r = state_of<ConfigRouter>(state);
    refuse_text_without_utf8(patch);
    try {
        nb::object config = co_await r.in_thread(KELVORA_NAME("patch_config"), patch);
        if (r.reloads()) co_await reload_step(state, false);
        r.log.info("Patched config for " + r.config_name_text);
        co_return r.shaped(config);
    } catch (...) {
        fail_request(r.log, "Error patching config: ", "Failed to patch config: ", own_http_errors);
    }
}

Task reload_config(nb::object state) {
    ConfigRouter& r = state_of<ConfigRouter>(state);
    try {
        nb::object config = co_await r.get_config(true);
        if (r.reloads()) co_await reload_step(state, true);
        r.log.info("Reloaded config for " + r.config_name_text);
        // The answer carries the payload as read, never shaped by the configuration model.
        co_return r.reload_model("status"_a = KELVORA_NAME("success"),
                                 "message"_a =
                                     to_str("Configuration reloaded for " + r.config_name_text),
                                 "config"_a = config);
    } catch (...) {
        fail_request(r.log, "Error reloading config: ", "Failed to reload config: ", every_error);
    }
}

} // namespace kelvora::setplane
