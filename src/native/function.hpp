// Function: a Python function whose body is C++.
#pragma once

#include "native/arguments.hpp"

#include <nanobind/nanobind.h>

#include <vector>

namespace kelvora {

namespace nb = nanobind;

/// The C++ body of a native function: the bound arguments, and the closure object the function
/// was created with (the router state, or None).
using Body = nb::object (*)(nb::handle closure, Arguments& args);

/// Everything a native function is made from. Texts are copied when the function is created.
struct FunctionSpec {
    const char* name;
    const char* qualname = nullptr; ///< defaults to `name`
    const char* module = nullptr;   ///< `__module__`; None when null
    const char* doc = nullptr;      ///< `__doc__`; None when null
    std::vector<Parameter> parameters;
    const char* return_annotation = nullptr;
    Check return_check = Check::None;
    bool coroutine = false; ///< the body returns an awaitable; `inspect` sees a coroutine function
    Body body = nullptr;
};

/// Creates the function type of this extension module; module execution calls it once.
void init_function_type();

/// Creates a native function. `defaults` is a tuple of values of the trailing positional
/// parameters (or None), `kwdefaults` a dict for keyword-only parameters (or None); `closure`
/// is kept alive by the function and handed to the body on each call.
nb::object make_function(const FunctionSpec& spec, nb::handle closure = nb::none(),
                         nb::handle defaults = nb::none(), nb::handle kwdefaults = nb::none());

/// Counts live native functions (for leak checks in tests).
size_t live_function_count();

} // namespace kelvora
