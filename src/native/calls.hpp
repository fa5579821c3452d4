// Calling Python objects from C++ without building argument tuples.
#pragma once

#include "native/errors.hpp"

#include <string_view>

namespace kelvora {

/// `callable(*args)` through vectorcall.
template <typename... Args> nb::object call(nb::handle callable, const Args&... args) {
    PyObject* argv[] = {nullptr, nb::handle(args).ptr()...};
    return steal_or_raise(PyObject_Vectorcall(
        callable.ptr(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// `self.<name>(*args)`, looked up as a method (no bound-method object for plain methods).
template <typename... Args>
nb::object call_method(nb::handle self, nb::handle name, const Args&... args) {
    PyObject* argv[] = {self.ptr(), nb::handle(args).ptr()...};
    return steal_or_raise(
        PyObject_VectorcallMethod(name.ptr(), argv, sizeof...(Args) + 1, nullptr));
}

/// `{**mapping}`: the entries of a mapping in a new dict. Anything without `keys()` is refused
/// with TypeError "{described}argument after ** must be a mapping, not {type}".
nb::dict unpack_mapping(nb::handle mapping, std::string_view described = "");

/// `callable(**mapping)`, refusing a mapping that is none with Python's own text.
nb::object call_with_mapping(nb::handle callable, nb::handle mapping);

} // namespace kelvora
