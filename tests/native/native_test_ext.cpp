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

Task await_all(nb::object awaitables) {
    nb::list results;
    for (nb::handle awaitable : awaitables)
        results.append(co_await awaitable);
    co_return results;
}

Task await_guarded(nb::object awaitable) {
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

Task raise_after(nb::object awaitable, nb::object text) {
    co_await awaitable;
    raise(PyExc_ValueError, utf8(text));
}

nb::object coroutine_function(nb::handle closure, Arguments& a) {
    const char* names[] = {"await_all", "await_guarded", "raise_after"};
    nb::str qualname(names[nb::cast<int>(closure)]);
    if (nb::cast<int>(closure) == 1) return start(await_guarded(nb::borrow(a[0])), qualname);
    if (nb::cast<int>(closure) == 2)
        return start(raise_after(nb::borrow(a[0]), nb::borrow(a[1])), qualname);
    return start(await_all(nb::borrow(a[0])), qualname);
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
    m.attr("echo") = make_function({"echo",
                                    "echo",
                                    "native_test_ext",
                                    "Echoes its arguments.",
                                    {{"a", "str", Check::ExactStr},
                                     {"n", "int", Check::Integer},
                                     {"k", nullptr, Check::None, Kind::KeywordOnly},
                                     {"rest", nullptr, Check::None, Kind::VarKeyword}},
                                    "tuple",
                                    Check::None,
                                    false,
                                    echo},
                                   nb::none(), nb::make_tuple(7), kwdefaults);
    for (auto [name, variant] :
         {std::pair{"await_all", 0}, std::pair{"await_guarded", 1}, std::pair{"raise_after", 2}}) {
        m.attr(name) = make_function({name,
                                      name,
                                      "native_test_ext",
                                      nullptr,
                                      {{"awaitable"}, {"text", nullptr}},
                                      nullptr,
                                      Check::None,
                                      true,
                                      coroutine_function},
                                     nb::int_(variant), nb::make_tuple(nb::none()));
    }
    m.attr("clickhouse_literal") = make_function({"clickhouse_literal",
                                                  nullptr,
                                                  "native_test_ext",
                                                  nullptr,
                                                  {{"text"}},
                                                  nullptr,
                                                  Check::None,
                                                  false,
                                                  literal},
                                                 nb::int_(0));
    m.attr("sql_literal") = make_function({"sql_literal",
                                           nullptr,
                                           "native_test_ext",
                                           nullptr,
                                           {{"text"}},
                                           nullptr,
                                           Check::None,
                                           false,
                                           literal},
                                          nb::int_(1));
    m.attr("py_format") = make_function({"py_format",
                                         nullptr,
                                         "native_test_ext",
                                         nullptr,
                                         {{"value"}},
                                         nullptr,
                                         Check::None,
                                         false,
                                         format_value});
    m.attr("log_texts") = make_function({"log_texts",
                                         nullptr,
                                         "native_test_ext",
                                         nullptr,
                                         {{"name"}, {"text"}, {"exception"}},
                                         nullptr,
                                         Check::None,
                                         false,
                                         log_texts});
    m.attr("returns_first") = make_function({"returns_first",
                                             nullptr,
                                             "native_test_ext",
                                             nullptr,
                                             {{"value"},
                                              {"items", "list", Check::ExactList},
                                              {"key", nullptr, Check::None, Kind::KeywordOnly}},
                                             "dict",
                                             Check::DictOrNone,
                                             false,
                                             returns_first});
    m.attr("records") = make_function({"records",
                                       nullptr,
                                       "native_test_ext",
                                       nullptr,
                                       {{"columns"}, {"rows"}},
                                       nullptr,
                                       Check::None,
                                       false,
                                       records});
    m.attr("live_counts") = make_function({"live_counts",
                                           nullptr,
                                           "native_test_ext",
                                           nullptr,
                                           {},
                                           nullptr,
                                           Check::None,
                                           false,
                                           counts});
}
