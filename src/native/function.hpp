// Function: a Python function whose body is C++.
#pragma once

#include "native/arguments.hpp"
#include "native/coroutine.hpp"

#include <nanobind/nanobind.h>

#include <utility>
#include <vector>

namespace kelvora {

namespace nb = nanobind;

/// The C++ body of a native function: the bound arguments, and the closure object the function
/// was created with (the router state, or None).
using Body = nb::object (*)(nb::handle closure, Arguments& args);

/// The body of a native coroutine function: calling the function starts the Task it gives,
/// named after the function's `__qualname__`.
using CoroutineBody = Task (*)(nb::handle closure, Arguments& args);

/// The coroutine body that calls `coroutine(closure, argument, ...)`: a C++ coroutine function
/// taking the closure, then one `nb::object` per declared parameter, in declaration order (the
/// variadic keyword mapping at its place).
template <auto coroutine> CoroutineBody coroutine_body();

/// Everything a native function is made from. Texts are copied when the function is created.
/// Exactly one of `body` and `coroutine` is set.
struct FunctionSpec {
    const char* name;
    const char* qualname = nullptr; ///< defaults to `name`
    const char* module = nullptr;   ///< `__module__`; None when null
    const char* doc = nullptr;      ///< `__doc__`; None when null
    std::vector<Parameter> parameters;
    const char* return_annotation = nullptr;
    Check return_check = Check::None;
    Body body = nullptr;
    /// Set for a coroutine function, which `inspect` and FastAPI see as one.
    CoroutineBody coroutine = nullptr;
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

namespace detail {
template <typename> struct CoroutineArity;
template <typename... Parameters> struct CoroutineArity<Task (*)(nb::object, Parameters...)> {
    static constexpr size_t value = sizeof...(Parameters);
};
} // namespace detail

template <auto coroutine> CoroutineBody coroutine_body() {
    constexpr size_t arity = detail::CoroutineArity<decltype(coroutine)>::value;
    return [](nb::handle closure, Arguments& args) -> Task {
        return [&]<size_t... index>(std::index_sequence<index...>) {
            return coroutine(nb::borrow(closure), nb::borrow(args[index])...);
        }(std::make_index_sequence<arity>{});
    };
}

} // namespace kelvora
