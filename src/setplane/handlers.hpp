// The request handlers of a config router: the native bodies of the functions the factory
// registers, each starting the handler's coroutine over the router state (its closure).
#pragma once

#include "native/arguments.hpp"

namespace kelvora::setplane {

namespace nb = nanobind;

// Full configuration.
nb::object get_full_config(nb::handle state, Arguments& args);
nb::object replace_config(nb::handle state, Arguments& args);
nb::object update_config(nb::handle state, Arguments& args);
nb::object reload_config(nb::handle state, Arguments& args);

// Sections.
nb::object get_section(nb::handle state, Arguments& args);
nb::object replace_section(nb::handle state, Arguments& args);
nb::object delete_section(nb::handle state, Arguments& args);

// Versions.
nb::object get_config_versions(nb::handle state, Arguments& args);
nb::object get_config_by_version(nb::handle state, Arguments& args);
nb::object update_config_version(nb::handle state, Arguments& args);
nb::object patch_config_version(nb::handle state, Arguments& args);
nb::object create_new_version(nb::handle state, Arguments& args);
nb::object restore_version(nb::handle state, Arguments& args);

// Database view.
nb::object get_current_database_config(nb::handle state, Arguments& args);

} // namespace kelvora::setplane
