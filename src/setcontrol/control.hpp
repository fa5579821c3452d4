// The state one control router shares among its handlers, and the steps every handler uses.
#pragma once

#include "native/coroutine.hpp"
#include "native/errors.hpp"
#include "native/handler_guard.hpp"
#include "native/logging.hpp"
#include "native/state.hpp"

#include <string>

namespace kelvora::setcontrol {

namespace nb = nanobind;

inline constexpr const char* module_name = "kelvora.setcontrol";

/// Handlers raise their own HTTPExceptions (304, 404, 409, 412, 422), which pass unchanged.
inline constexpr GuardClauses own_http_errors{.passes_http_exception = true, .keeps_context = true};

/// What one call of `create_config_control_router` captured.
struct ControlRouter : RouterState {
    nb::object store;           ///< the ConfigStore
    nb::object config_model;    ///< model class of the whole configuration, or None
    nb::object reload_callback; ///< callable without arguments, or None
    nb::object validator;       ///< a jsonschema validator of the configuration, or None
    nb::object config_name;     ///< `store.config_name`, read once
    std::string config_name_text;
    nb::object feed_of;           ///< `ConfigFeed.of`: the feed of the store's configuration
    nb::object event_encoder;     ///< a feed event (or None, a heartbeat) as server-sent event text
    nb::object not_stored;        ///< the exception a dry run ends its write with
    nb::object write_lock_lost;   ///< kelvora.backend.WriteLockLost
    nb::object run_in_threadpool; ///< the framework's
    nb::object iscoroutinefunction;
    nb::object json_response, plain_response, streaming_response, jsonable_encoder;
    Logger log{nb::none()};

    int traverse(visitproc visit, void* arg) const override {
        return visit_all(visit, arg, store, config_model, reload_callback, validator, config_name,
                         feed_of, event_encoder, not_stored, write_lock_lost, run_in_threadpool,
                         iscoroutinefunction, json_response, plain_response, streaming_response,
                         jsonable_encoder, log.object());
    }

    /// True when writes are checked before they are stored (a schema or a model is set).
    bool validates() const { return !validator.is_none() || is_true(config_model); }

    /// `run_in_threadpool(store.<method>, *args)`.
    template <typename... Args> nb::object in_thread(nb::handle method, const Args&... args) const {
        nb::object bound = store.attr(method);
        PyObject* argv[] = {nullptr, bound.ptr(), nb::handle(args).ptr()...};
        return steal_or_raise(
            PyObject_Vectorcall(run_in_threadpool.ptr(), argv + 1,
                                (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

    /// `run_in_threadpool(store.get_config, refresh=<refresh>)`.
    nb::object get_config(bool refresh) const;

    /// `config_model(**config)` when a model is set, otherwise `config`.
    nb::object shaped(nb::handle config) const;

    /// A JSON answer of `content` (encoded as FastAPI encodes a handler's return value) carrying
    /// `etag` as its ETag when one is given.
    nb::object answer(nb::handle content, const std::string& etag = {}) const;
};

/// The reload step, as the config router runs it after a change: an awaitable.
nb::object reload_step(const ControlRouter& r);

} // namespace kelvora::setcontrol
