// The handler guard: how a request handler answers a failure of its steps, and the HTTP errors
// handlers raise.
#pragma once

#include "native/logging.hpp"

#include <nanobind/nanobind.h>

#include <string_view>

namespace kelvora {

namespace nb = nanobind;

/// Raises `HTTPException(status_code=status, detail=detail)`. `replaced`, when given, becomes the
/// answer's `__context__`, as `raise` inside an `except` block would set it.
[[noreturn]] void raise_http_error(int status, std::string_view detail,
                                   nb::handle replaced = nb::handle());

/// 422 "Text that cannot be encoded as UTF-8 at {path}" for a request value holding such text
/// (see `text_without_utf8`): it would be stored as invalid UTF-8, or break every answer that
/// holds it, so it is refused before anything is stored.
void refuse_text_without_utf8(nb::handle value);

/// The clauses of one handler's guard.
struct GuardClauses {
    bool passes_http_exception = true; ///< an HTTPException leaves unchanged
    bool keeps_context = false;        ///< the 500 answer keeps the error as its `__context__`
};

/// The guard itself; call it from the catch block around a handler's steps. Anything that is not
/// an `Exception` (cancellation, GeneratorExit, KeyboardInterrupt) is rethrown, and so is an
/// HTTPException where the clauses say so; any other error, C++ ones included, is logged at
/// error level with its traceback as `log_text` + its text, and answered by
/// `HTTPException(500, detail_text + its text)`.
[[noreturn]] void fail_request(const Logger& log, std::string_view log_text,
                               std::string_view detail_text, GuardClauses clauses = {});

} // namespace kelvora
