// The handler guard: how a request handler answers a failure of its steps, and the HTTP errors
// handlers raise.
#include "native/handler_guard.hpp"

#include "native/errors.hpp"
#include "native/framework.hpp"
#include "native/literals.hpp"

#include <string>

namespace kelvora {

using namespace nb::literals;

void raise_http_error(int status, std::string_view detail, nb::handle replaced) {
    nb::object exception =
        framework().http_exception("status_code"_a = status, "detail"_a = to_str(detail));
    // A replaced HTTPException class may make anything; only an exception can be raised.
    if (!PyExceptionInstance_Check(exception.ptr()))
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    if (replaced.is_valid()) PyException_SetContext(exception.ptr(), replaced.inc_ref().ptr());
    raise_object(exception);
}

void refuse_text_without_utf8(nb::handle value) {
    if (auto path = text_without_utf8(value))
        raise_http_error(422, "Text that cannot be encoded as UTF-8 at " + *path);
}

void fail_request(const Logger& log, std::string_view log_text, std::string_view detail_text,
                  GuardClauses clauses) {
    nb::object error;
    try {
        throw;
    } catch (nb::python_error& e) {
        if (!is_ordinary_exception(e)) throw;
        if (clauses.passes_http_exception && e.matches(framework().http_exception)) throw;
        error = nb::borrow(e.value());
    } catch (...) {
        restore_current_exception();
        nb::python_error converted;
        error = nb::borrow(converted.value());
    }
    const std::string text = utf8(steal_or_raise(PyObject_Str(error.ptr())));
    log.error(std::string(log_text) + text, error);
    raise_http_error(500, std::string(detail_text) + text,
                     clauses.keeps_context ? nb::handle(error) : nb::handle());
}

} // namespace kelvora
