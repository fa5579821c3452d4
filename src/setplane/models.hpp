// The response models of the config router: Pydantic models made when the module is executed.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora::setplane {

namespace nb = nanobind;

/// Defines ConfigVersionInfo, ConfigVersionsResponse, ConfigVersionDetailResponse and
/// ConfigReloadResponse in the module, subclasses of its `BaseModel`.
void add_response_models(nb::module_ module);

} // namespace kelvora::setplane
