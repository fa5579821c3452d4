// Test-only module: the native core exercised directly (functions, argument binding, coroutines).
#include "native/coroutine.hpp"
#include "native/errors.hpp"
#include "native/function.hpp"
#include "native/literals.hpp"
#include "native/logging.hpp"
#include "native/module.hpp"
#include "native/records.hpp"

namespace nb = nanobind;
using namespace kelvora;

namespace {

nb::object echo(nb::handle, Arguments& a) {
    return nb::make_tuple(a[0], a[1], a[2], a.keywords());
}

Task await_all(nb::object, nb::object awaitables, nb::object) {
    nb::list results;
    for (nb::handle awaitable : awaitables)
        results.append(co_await awaitable);
    co_return results;
}

Task await_guarded(nb::object, nb::object awaitable, nb::object) {
    // Catches ordinary exceptions of the awaited object and answers their text; anything else
    // (cancellation) unwinds the frame.
    nb::object outcome;
    try {
        outcome = co_await awaitable;
    } catch (nb::python_error& e) {
        if (!is_ordinary_exception(e)) throw;
        outcome = nb::str("caught: ") + nb::str(e.value());
    }
    co_return outcome;
}

Task raise_after(nb::object, nb::object awaitable, nb::object text) {
    co_await awaitable;
    raise(PyExc_ValueError, utf8(text));
}

nb::object literal(nb::handle closure, Arguments& a) {
    std::string text(utf8(a[0]));
    return to_str(nb::cast<int>(closure) ? sql_string_literal(text)
                                         : clickhouse_string_literal(text));
}

nb::object format_value(nb::handle, Arguments& a) {
    return to_str(py_format(a[0]));
}

nb::object log_texts(nb::handle, Arguments& a) {
    Logger logger(utf8(a[0]).c_str());
    logger.info("info: " + utf8(a[1]));
    logger.warning("warning: " + utf8(a[1]));
    logger.error("error: " + utf8(a[1]), a[2]);
    return nb::none();
}

nb::object returns_first(nb::handle, Arguments& a) {
    return nb::borrow(a[0]);
}

nb::object records(nb::handle, Arguments& a) {
    return records_from_rows(a[0], a[1]);
}

nb::object counts(nb::handle, Arguments&) {

    return nb::make_tuple(live_function_count(), live_coroutine_count());
}

} // namespace

KELVORA_MODULE(native_test_ext, m) {
    nb::dict kwdefaults;
    kwdefaults["k"] = "kw";
    m.attr("echo") =
        make_function({.name = "echo",
                       .module = "native_test_ext",
                       .doc = "Echoes its arguments.",
                       .parameters = {{"a", "str", Check::ExactStr},
                                      {"n", "int", Check::Integer},
                                      {"k", nullptr, Check::None, Kind::KeywordOnly},
                                      {"rest", nullptr, Check::None, Kind::VarKeyword}},
                       .return_annotation = "tuple",
                       .body = echo},
                      nb::none(), nb::make_tuple(7), kwdefaults);
    const std::vector<Parameter> awaiting{{"awaitable"}, {"text", nullptr}};
    m.attr("await_all") = make_function({.name = "await_all",
                                         .module = "native_test_ext",
                                         .parameters = awaiting,
                                         .coroutine = coroutine_body<await_all>()},
                                        nb::none(), nb::make_tuple(nb::none()));
    m.attr("await_guarded") = make_function({.name = "await_guarded",
                                             .module = "native_test_ext",
                                             .parameters = awaiting,
                                             .coroutine = coroutine_body<await_guarded>()},
                                            nb::none(), nb::make_tuple(nb::none()));
    m.attr("raise_after") = make_function({.name = "raise_after",
                                           .module = "native_test_ext",
                                           .parameters = awaiting,
                                           .coroutine = coroutine_body<raise_after>()},
                                          nb::none(), nb::make_tuple(nb::none()));
    m.attr("clickhouse_literal") = make_function({.name = "clickhouse_literal",
                                                  .module = "native_test_ext",
                                                  .parameters = {{"text"}},
                                                  .body = literal},
                                                 nb::int_(0));
    m.attr("sql_literal") = make_function({.name = "sql_literal",
                                           .module = "native_test_ext",
                                           .parameters = {{"text"}},
                                           .body = literal},
                                          nb::int_(1));
    m.attr("py_format") = make_function({.name = "py_format",
                                         .module = "native_test_ext",
                                         .parameters = {{"value"}},
                                         .body = format_value});
    m.attr("log_texts") = make_function({.name = "log_texts",
                                         .module = "native_test_ext",
                                         .parameters = {{"name"}, {"text"}, {"exception"}},
                                         .body = log_texts});
    m.attr("returns_first") =
        make_function({.name = "returns_first",
                       .module = "native_test_ext",
                       .parameters = {{"value"},
                                      {"items", "list", Check::ExactList},
                                      {"key", nullptr, Check::None, Kind::KeywordOnly}},
                       .return_annotation = "dict",
                       .return_check = Check::DictOrNone,
                       .body = returns_first});
    m.attr("records") = make_function({.name = "records",
                                       .module = "native_test_ext",
                                       .parameters = {{"columns"}, {"rows"}},
                                       .body = records});
    m.attr("live_counts") = make_function(
        {.name = "live_counts", .module = "native_test_ext", .parameters = {}, .body = counts});
}
