// The state one config router shares among its handlers, and the steps every handler uses.
#pragma once

#include "native/coroutine.hpp"
#include "native/errors.hpp"
#include "native/framework.hpp"
#include "native/handler_guard.hpp"
#include "native/logging.hpp"
#include "native/state.hpp"

#include <string>

namespace kelvora::setplane {

namespace nb = nanobind;

inline constexpr const char* module_name = "kelvora.setplane";

/// The guard of handlers that raise their own HTTPException (404), which passes unchanged.
inline constexpr GuardClauses own_http_errors{.passes_http_exception = true, .keeps_context = true};
/// The guard of handlers without that clause: every `Exception` is answered 500.
inline constexpr GuardClauses every_error{.passes_http_exception = false, .keeps_context = true};

/// What one call of `create_config_router` captured: the host's objects and the models its
/// handlers answer with.
struct ConfigRouter : RouterState {
    nb::object store;           ///< the ConfigStore
    nb::object config_model;    ///< model class of the whole configuration, or None
    nb::object reload_callback; ///< callable without arguments, or None
    nb::object config_name;     ///< `store.config_name`, read once
    std::string config_name_text;
    bool version_listing = false; ///< GET "/versions" answers the version listing

    nb::object run_in_threadpool; ///< the module's, as it was when the router was built
    nb::object iscoroutinefunction;
    nb::object version_info_model, versions_model, version_detail_model, reload_model;
    Logger log{nb::none()};

    int traverse(visitproc visit, void* arg) const override {
        return visit_all(visit, arg, store, config_model, reload_callback, config_name,
                         run_in_threadpool, iscoroutinefunction, version_info_model, versions_model,
                         version_detail_model, reload_model, log.object());
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
};

/// The reload step: runs the reload callback (awaited on the loop when it is a coroutine
/// function, otherwise on the thread pool); a failure is logged as a warning and absorbed.
/// `log_success` adds the info line after a successful callback. Call only when `reloads()`.
nb::object reload_step(nb::handle state, bool log_success);

} // namespace kelvora::setplane
