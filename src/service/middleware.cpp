// The service's middleware on every request: the request id taken or made and set for the
// request's log lines, the answer's status read and its id header added, the time it took
// handed to the middleware's counting; and a path with a control character refused.
#include "service/middleware.hpp"

#include "native/calls.hpp"
#include "native/coroutine.hpp"
#include "native/errors.hpp"
#include "native/function.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

#include <sys/random.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>

namespace kelvora::service {

namespace {

constexpr const char* module_name = "kelvora._service";

nb::object get(nb::handle mapping, nb::handle key) {
    return steal_or_raise(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

/// `mapping[key]` of a dict, or null when it is not a dict or holds no such key.
PyObject* dict_item(nb::handle mapping, nb::handle key) {
    if (!PyDict_Check(mapping.ptr())) return nullptr;
    PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
    if (!value && PyErr_Occurred()) raise_pending();
    return value;
}

bool has_text(nb::handle value, const char* text) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
}

// --- Request ids ---------------------------------------------------------------------------

/// An id a request may bring: 1 to 128 characters, letters and digits first, then those or
/// "._:-", nothing a log line or a header could be split by.
bool is_sane_request_id(std::string_view id) {
    auto alphanumeric = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    };
    if (id.empty() || id.size() > 128 || !alphanumeric(id.front())) return false;
    for (char c : id)
        if (!alphanumeric(c) && c != '.' && c != '_' && c != ':' && c != '-') return false;
    return true;
}

/// The system's randomness, read for 256 ids at a time: each read is a system call, which cost
/// the event loop more than the rest of an id.
class RandomIds {
public:
    std::string next() {
        if (taken_ == pool_.size()) refill();
        std::array<unsigned char, 16> id;
        for (size_t i = 0; i < id.size(); ++i)
            id[i] = pool_[taken_ + i];
        taken_ += id.size();
        id[6] = (id[6] & 0x0F) | 0x40; // the version, 4
        id[8] = (id[8] & 0x3F) | 0x80; // the variant of RFC 4122
        static constexpr char digits[] = "0123456789abcdef";
        std::string hex;
        hex.reserve(32);
        for (unsigned char byte : id) {
            hex += digits[byte >> 4];
            hex += digits[byte & 0x0F];
        }
        return hex;
    }

private:
    void refill() {
        size_t filled = 0;
        while (filled < pool_.size()) {
            const ssize_t got = getrandom(pool_.data() + filled, pool_.size() - filled, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                PyErr_SetFromErrno(PyExc_OSError);
                raise_pending();
            }
            filled += static_cast<size_t>(got);
        }
        taken_ = 0;
    }

    std::array<unsigned char, 16 * 256> pool_{};
    size_t taken_ = pool_.size();
};

std::string new_id() {
    // One pool per thread: no two threads take the same bytes.
    thread_local RandomIds ids;
    return ids.next();
}

/// The request's own id when it sends a sane one in its first X-Request-ID header, else a
/// new one.
std::string request_id_of(nb::handle scope) {
    PyObject* headers = dict_item(scope, KELVORA_NAME("headers"));
    if (headers) {
        for (nb::handle pair : nb::borrow(headers)) {
            if (bytes_view(item(pair, 0)) != "x-request-id") continue;
            const std::string_view sent = bytes_view(item(pair, 1));
            if (is_sane_request_id(sent)) return std::string(sent);
            break;
        }
    }
    return new_id();
}

// --- Observe ---------------------------------------------------------------------------------

/// Whether a header name an app answers with is X-Request-ID, in any case.
bool is_request_id_header(std::string_view name) {
    constexpr std::string_view wanted = "x-request-id";
    if (name.size() != wanted.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != wanted[i]) return false;
    return true;
}

/// The request's send, adding the request id header to the answer's start (in place of one the
/// app set) and noting its status in `status` (a one-item list); the awaitable of the send.
nb::object send_with_id(nb::handle closure, Arguments& args) {
    nb::handle send = item(closure, 0), header = item(closure, 1), status = item(closure, 2);
    nb::handle message = args[0];
    if (has_text(get(message, KELVORA_NAME("type")), "http.response.start")) {
        if (PyList_SetItem(status.ptr(), 0, get(message, KELVORA_NAME("status")).release().ptr()) <
            0)
            raise_pending();
        nb::list headers;
        PyObject* given = dict_item(message, KELVORA_NAME("headers"));
        if (given) {
            for (nb::handle pair : nb::borrow(given)) {
                if (!is_request_id_header(bytes_view(item(pair, 0)))) headers.append(pair);
            }
        }
        headers.append(header);
        if (PyObject_SetItem(message.ptr(), KELVORA_NAME("headers").ptr(), headers.ptr()) < 0)
            raise_pending();
    }
    return call(send, message);
}

/// A context variable set for the rest of the request; its token is not kept, since the
/// request's context ends with it.
void set_variable(nb::handle variable, nb::handle value) {
    steal_or_raise(PyContextVar_Set(variable.ptr(), value.ptr()));
}

Task observe(nb::object variables, nb::object self, nb::object scope, nb::object receive,
             nb::object send) {
    nb::object app = self.attr(KELVORA_NAME("app"));
    if (!has_text(get(scope, KELVORA_NAME("type")), "http"))
        co_return co_await call(app, scope, receive, send);
    // A sane id is ASCII, as a made one is: its text and its bytes are the same characters.
    const std::string id = request_id_of(scope);
    nb::str request_id = to_str(id);
    if (PyObject_SetItem(scope.ptr(), KELVORA_NAME("kelvora.request_id").ptr(), request_id.ptr()) <
        0)
        raise_pending();
    set_variable(item(variables, 0), request_id);
    set_variable(item(variables, 1), nb::list());
    nb::list status;
    status.append(nb::int_(500));
    nb::object header = nb::make_tuple(nb::bytes("x-request-id"), nb::bytes(id.data(), id.size()));
    static const FunctionSpec send_spec{.name = "send_with_id",
                                        .qualname = "Observe.__call__.<locals>.send_with_id",
                                        .module = module_name,
                                        .parameters = {{"message"}},
                                        .body = send_with_id};
    nb::object counted_send = make_function(send_spec, nb::make_tuple(send, header, status));
    const auto started = std::chrono::steady_clock::now();
    auto count = [&] {
        const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
        call_method(self, KELVORA_NAME("_count"), scope, item(status, 0),
                    nb::float_(seconds.count()));
    };
    try {
        co_await call(app, scope, receive, counted_send);
    } catch (...) {
        count();
        throw;
    }
    count();
    co_return nb::none();
}

// --- RefuseControlCharacters -------------------------------------------------------------------

bool holds_control_character(nb::handle path) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(path.ptr());
    const int kind = PyUnicode_KIND(path.ptr());
    const void* data = PyUnicode_DATA(path.ptr());
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

nb::object refuse_or_pass(nb::handle, Arguments& args) {
    nb::handle self = args[0], scope = args[1], receive = args[2], send = args[3];
    nb::object type = get(scope, KELVORA_NAME("type"));
    if (has_text(type, "http") || has_text(type, "websocket")) {
        PyObject* path = dict_item(scope, KELVORA_NAME("path"));
        if (path && PyUnicode_Check(path) && holds_control_character(path))
            return call_method(self, KELVORA_NAME("refuse"), scope, receive, send);
    }
    return call(self.attr(KELVORA_NAME("app")), scope, receive, send);
}

nb::object observing_call(nb::handle, Arguments& args) {
    static const FunctionSpec spec{
        .name = "__call__",
        .qualname = "Observe.__call__",
        .module = module_name,
        .doc = "Answers the request with its id on the answer and in its log lines, and counts "
               "the answer by method, route template and status.",
        .parameters = {{"self"}, {"scope"}, {"receive"}, {"send"}},
        .coroutine = coroutine_body<observe>()};
    return make_function(spec, nb::make_tuple(args[0], args[1]));
}

} // namespace

nb::object make_observing_call() {
    static const FunctionSpec spec{
        .name = "observing_call",
        .module = module_name,
        .doc = "Observe.__call__ setting, for each request, the request id context variable to "
               "its id and the engine failures one to a fresh list.",
        .parameters = {{"request_id"}, {"engine_failures"}},
        .body = observing_call};
    return make_function(spec);
}

nb::object make_refusing_call() {
    static const FunctionSpec spec{
        .name = "__call__",
        .qualname = "RefuseControlCharacters.__call__",
        .module = module_name,
        .doc = "Passes the request on, or to self.refuse when its path holds a control "
               "character; gives the awaitable of either.",
        .parameters = {{"self"}, {"scope"}, {"receive"}, {"send"}},
        .body = refuse_or_pass};
    return make_function(spec);
}

} // namespace kelvora::service
