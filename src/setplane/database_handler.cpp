// The database view: what the store's database holds now, which the next reload will load.
#include "setplane/handlers.hpp"
#include "setplane/router.hpp"

#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

namespace kelvora::setplane {

Task get_current_database_config(nb::object state) {
    ConfigRouter& r = state_of<ConfigRouter>(state);
    try {
        nb::object config = co_await r.get_config(true);
        nb::object version = co_await r.in_thread(KELVORA_NAME("get_version"));
        if (!is_true(config))
            co_return ordered({{KELVORA_NAME("status"), KELVORA_NAME("not_found")},
                               {KELVORA_NAME("message"),
                                to_str("No config found in database for " + r.config_name_text)}});
        co_return ordered({{KELVORA_NAME("status"), KELVORA_NAME("success")},
                           {KELVORA_NAME("version"), version},
                           {KELVORA_NAME("config"), config},
                           {KELVORA_NAME("note"),
                            KELVORA_NAME("This config will be loaded on next restart/reload")}});
    } catch (...) {
        fail_request(r.log, "Error fetching database config: ", "Failed to fetch database config: ",
                     every_error);
    }
}

} // namespace kelvora::setplane
