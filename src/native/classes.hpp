// Python classes assembled from native functions, as a class statement would make them.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>
#include <vector>

namespace kelvora {

namespace nb = nanobind;

using Members = std::vector<std::pair<const char*, nb::object>>;

/// `metaclass(name, bases, namespace)` with `__module__`, `__qualname__` and `__doc__` first,
/// then the members in their order.
nb::object make_class(nb::handle metaclass, nb::handle bases, const char* module, const char* name,
                      const char* doc, const Members& members);

/// An ordinary class: `type`, base `object`.
nb::object make_plain_class(const char* module, const char* name, const char* doc,
                            const Members& members);

/// A `typing.Protocol` subclass passed through `typing.runtime_checkable`.
nb::object make_runtime_protocol(nb::handle typing, const char* module, const char* name,
                                 const char* doc, const Members& members);

} // namespace kelvora
