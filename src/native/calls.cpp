// Calling Python objects from C++ without building argument tuples.
#include "native/calls.hpp"

#include "native/literals.hpp"

#include <string>

namespace kelvora {

namespace {

/// The entries of `mapping` in a new dict; unset when it has no `keys()`.
nb::object merged(nb::handle mapping) {
    nb::object entries = steal_or_raise(PyDict_New());
    if (_PyDict_MergeEx(entries.ptr(), mapping.ptr(), 2) == 0) return entries;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
    PyErr_Clear();
    return nb::object();
}

[[noreturn]] void refuse_mapping(std::string_view described, nb::handle mapping) {
    raise(PyExc_TypeError, std::string(described) + "argument after ** must be a mapping, not " +
                               python_type_name(mapping));
}

} // namespace

nb::dict unpack_mapping(nb::handle mapping, std::string_view described) {
    nb::object entries = merged(mapping);
    if (!entries.is_valid()) refuse_mapping(described, mapping);
    return nb::steal<nb::dict>(entries.release());
}

nb::object call_with_mapping(nb::handle callable, nb::handle mapping) {
    nb::object keywords = merged(mapping);
    if (!keywords.is_valid()) {
        nb::object described = steal_or_raise(_PyObject_FunctionStr(callable.ptr()));
        refuse_mapping(utf8(described) + " ", mapping);
    }
    nb::object no_arguments = steal_or_raise(PyTuple_New(0));
    return steal_or_raise(PyObject_Call(callable.ptr(), no_arguments.ptr(), keywords.ptr()));
}

} // namespace kelvora
