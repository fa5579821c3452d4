// Raising Python exceptions from C++ and turning C++ exceptions back into the Python error state.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace kelvora {

namespace nb = nanobind;

/// The type name Python shows in its own messages (`tp_name`: "NoneType",
/// "collections.OrderedDict").
std::string python_type_name(nb::handle value);

/// Sets `type` with `text` as the pending Python error and throws it as `nb::python_error`.
[[noreturn]] void raise(PyObject* type, const std::string& text);

/// Makes an exception instance the pending Python error and throws it as `nb::python_error`.
[[noreturn]] void raise_object(nb::handle exception);

/// "Argument '{name}' has incorrect type (expected {expected}, got {given})".
[[noreturn]] void raise_argument_type(const char* name, const char* expected, nb::handle given);

/// "Expected {expected}, got {given}".
[[noreturn]] void raise_unexpected_type(const char* expected, nb::handle given);

/// Throws the pending Python error; call right after a C-API call reported failure.
[[noreturn]] void raise_pending();

/// Checks a new reference returned by the C API and takes ownership of it.
inline nb::object steal_or_raise(PyObject* result) {
    if (!result) raise_pending();
    return nb::steal(result);
}

/// Python truth of a value (`bool(value)`), raising what `__bool__` or `__len__` raises.
inline bool is_true(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) raise_pending();
    return result;
}

/// Turns the exception being handled into the Python error state. Only the raw slots call it,
/// from their one catch-all.
void restore_current_exception() noexcept;

/// True when the error is an `Exception` subclass; `CancelledError`, `GeneratorExit`,
/// `KeyboardInterrupt` and `SystemExit` are not.
bool is_ordinary_exception(const nb::python_error& error);

} // namespace kelvora
