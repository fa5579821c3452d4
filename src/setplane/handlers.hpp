// The request handlers of a config router: coroutines over the router state (their closure),
// then one argument per route parameter.
#pragma once

#include "native/coroutine.hpp"

namespace kelvora::setplane {

namespace nb = nanobind;

// Full configuration.
Task get_full_config(nb::object state);
Task replace_config(nb::object state, nb::object new_config);
Task update_config(nb::object state, nb::object patch);
Task reload_config(nb::object state);

// Sections.
Task get_section(nb::object state, nb::object section);
Task replace_section(nb::object state, nb::object section, nb::object section_config);
Task delete_section(nb::object state, nb::object section);

// Versions.
Task get_config_versions(nb::object state);
Task get_config_by_version(nb::object state, nb::object version);
Task update_config_version(nb::object state, nb::object version, nb::object payload);
Task patch_config_version(nb::object state, nb::object version, nb::object patch);
Task create_new_version(nb::object state);
Task restore_version(nb::object state, nb::object version);

// Database view.
Task get_current_database_config(nb::object state);

} // namespace kelvora::setplane
