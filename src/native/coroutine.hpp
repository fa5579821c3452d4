// Task: C++20 coroutines that Python awaits, and that await Python awaitables.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <coroutine>
#include <type_traits>

namespace kelvora {

namespace nb = nanobind;

/// The return type of a native coroutine. Inside one, `co_await` takes any Python awaitable and
/// gives its result (or throws `nb::python_error` with its exception); `co_return` ends the
/// await with a value. The coroutine starts suspended and runs when Python drives the awaitable
/// that `start` makes of it.
class Task {
public:
    struct promise_type;
    using Handle = std::coroutine_handle<promise_type>;

    struct Awaiter {
        promise_type& promise;
        bool await_ready();
        void await_suspend(Handle) noexcept {}
        nb::object await_resume();
    };

    struct promise_type {
        nb::object result;   ///< the value of `co_return`
        nb::object error;    ///< exception leaving the body, or raised by the awaited object
        nb::object delegate; ///< the iterator of the awaitable being awaited
        nb::object awaited;  ///< what `co_await` was given, until the bridge resolves it
        nb::object received; ///< the result of the awaited object

        /// The coroutine's own copies of its Python-object parameters, which the garbage
        /// collector is shown. Other locals of the frame stay invisible to it, so a body must
        /// not keep a reference cycle through them across a `co_await`.
        std::array<nb::object*, 8> parameters{};

        // The coroutine's parameter copies are handed to this constructor; it notes the Python
        // objects among them. (Having a constructor also keeps the promise from being an
        // aggregate, which C++20 would initialise from those parameters.)
        template <typename... Parameters> explicit promise_type(Parameters&... given) noexcept {
            size_t count = 0;
            (remember(given, count), ...);
        }
        promise_type() noexcept {}

        template <typename T> void remember(T& parameter, size_t& count) noexcept {
            if constexpr (std::is_base_of_v<nb::object, T>)
                if (count < parameters.size()) parameters[count++] = &parameter;
        }

        Task get_return_object() { return Task(Handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(nb::handle value) { result = nb::borrow(value); }
        void unhandled_exception();
        Awaiter await_transform(nb::handle awaitable) {
            awaited = nb::borrow(awaitable);
            return Awaiter{*this};
        }
    };

    Task(Task&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    Task& operator=(Task&&) = delete;
    ~Task() {
        if (handle_) handle_.destroy();
    }

    /// Hands the coroutine to a new Python awaitable object; `qualname` names it in warnings.
    friend nb::object start(Task&& task, nb::handle qualname);

    /// A coroutine giving `value` when awaited, for a step that already has its result.
    Task completed(nb::object value);

private:
    explicit Task(Handle handle) : handle_(handle) {}
    Handle handle_;
};

nb::object start(Task&& task, nb::handle qualname);

/// A coroutine giving `value` when awaited, for a step that already has its result.
Task completed(nb::object value);

/// Creates the awaitable type of this extension module; module execution calls it once.
void init_coroutine_type();

/// Counts live native coroutine objects (for leak checks in tests).
size_t live_coroutine_count();

} // namespace kelvora
