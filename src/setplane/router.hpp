// The state one config router shares among its handlers, and the steps every handler uses.
#pragma once

#include "native/coroutine.hpp"
#include "native/errors.hpp"
#include "native/logging.hpp"

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace kelvora::setplane {

namespace nb = nanobind;

inline constexpr const char* module_name = "kelvora.setplane";

/// What one call of `create_config_router` captured: the host's objects and the framework
/// objects its handlers use. Owned by a garbage-collected Python object (`make_state`) that every
/// handler of the router references, so it lives exactly as long as the router.
struct ConfigRouter {
    nb::object store;           ///< the ConfigStore
    nb::object config_model;    ///< model class of the whole configuration, or None
    nb::object reload_callback; ///< callable without arguments, or None
    nb::object config_name;     ///< `store.config_name`, read once
    std::string config_name_text;
    bool version_listing = false; ///< GET "/versions" answers the version listing

    nb::object run_in_threadpool;
    nb::object http_exception;
    nb::object iscoroutinefunction;
    nb::object version_info_model, versions_model, version_detail_model, reload_model;
    Logger log{nb::none()};

    /// Visits every Python object the state holds (for the garbage collector).
    template <typename Visit> int visit(Visit&& each) const {
        for (const nb::object* o :
             {&store, &config_model, &reload_callback, &config_name, &run_in_threadpool,
              &http_exception, &iscoroutinefunction, &version_info_model, &versions_model,
              &version_detail_model, &reload_model})
            if (int result = each(o->ptr())) return result;
        return each(log.object().ptr());
    }

    /// `run_in_threadpool(store.<method>, *args)`: an awaitable running the store's method on a
    /// worker thread of the framework's pool.
    template <typename... Args> nb::object in_thread(nb::handle method, const Args&... args) const {
        nb::object bound = store.attr(method);
        PyObject* argv[] = {nullptr, bound.ptr(), nb::handle(args).ptr()...};
        return steal_or_raise(
            PyObject_Vectorcall(run_in_threadpool.ptr(), argv + 1,
                                (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

    /// `run_in_threadpool(store.get_config, refresh=<refresh>)`.
    nb::object get_config(bool refresh) const;

    /// True when a reload callback is set (its truth value).
    bool reloads() const { return is_true(reload_callback); }

    /// `config_model(**config)` when a model is set (its truth value), otherwise `config`.
    nb::object shaped(nb::handle config) const;

    /// `HTTPException(status_code=<status>, detail=<detail>)`, raised; `replaced`, when given, is
    /// the error it answers (its `__context__`).
    [[noreturn]] void refuse(int status, std::string_view detail,
                             nb::handle replaced = nb::handle()) const;

    /// The `HTTPException` clause of the handler guard, called from its catch block: rethrows an
    /// `HTTPException` unchanged and returns for anything else.
    void pass_http_exception(const nb::python_error& error) const;

    /// The generic clause of the handler guard, called from its catch block: anything that is no
    /// `Exception` is rethrown; an `Exception` is logged at error level with its traceback as
    /// `log_text` + its text, then answered by `HTTPException(500, detail_text + its text)`.
    [[noreturn]] void fail(const nb::python_error& error, std::string_view log_text,
                           std::string_view detail_text) const;
};

/// A new router state object holding a default-constructed `ConfigRouter`.
nb::object make_state();

/// The router a state object (a handler's closure) holds.
ConfigRouter& router_of(nb::handle state);

/// The reload step: runs the reload callback (awaited on the loop when it is a coroutine
/// function, otherwise on the thread pool); a failure is logged as a warning and absorbed.
/// `log_success` adds the info line after a successful callback. Call only when `reloads()`.
nb::object reload_step(nb::handle state, bool log_success);

/// `callable(**mapping)`, with Python's refusal of a mapping that is none.
nb::object call_with_mapping(nb::handle callable, nb::handle mapping);

/// A new dict of `key: value` pairs, in order.
nb::dict ordered(std::initializer_list<std::pair<nb::handle, nb::handle>> entries);

/// Creates the state type; module execution calls it once.
void init_state_type();

} // namespace kelvora::setplane
