// The module kelvora._clickhouse: parameter binding and result decoding for the ClickHouse clients.
#include "clickhouse/binder.hpp"
#include "clickhouse/decoders.hpp"
#include "clickhouse/rows.hpp"
#include "clickhouse/value_literals.hpp"

#include "native/errors.hpp"
#include "native/function.hpp"
#include "native/module.hpp"

namespace {

namespace nb = nanobind;
using namespace kelvora;

constexpr const char* module_name = "kelvora._clickhouse";

/// The bytes of any buffer-exporting object, held for the duration of a decode.
class Bytes {
public:
    explicit Bytes(nb::handle data) {
        if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_SIMPLE)) raise_pending();
    }
    ~Bytes() { PyBuffer_Release(&view_); }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    std::string_view view() const {
        return {static_cast<const char*>(view_.buf), static_cast<size_t>(view_.len)};
    }

private:
    Py_buffer view_;
};

nb::object bind(nb::handle, Arguments& a) {
    // `zone` is still taken, so callers written for the earlier form keep working.
    return clickhouse::bind(a[0], a[1], is_true(a[3]));
}

nb::object decode_row_binary(nb::handle, Arguments& a) {
    Bytes data(a[0]);
    return clickhouse::decode_row_binary(data.view(), clickhouse::Zone(a[1]));
}

nb::object decode_native(nb::handle, Arguments& a) {
    Bytes data(a[0]);
    return clickhouse::decode_native(data.view(), clickhouse::Zone(a[1]), a[2]);
}

nb::object decode_tab_separated(nb::handle, Arguments& a) {
    Bytes data(a[0]);
    return clickhouse::decode_tab_separated(data.view(), clickhouse::Zone(a[1]));
}

nb::object function(const char* name, const char* doc, std::vector<Parameter> parameters, Body body,
                    nb::handle defaults, nb::handle keyword_defaults = nb::none()) {
    return make_function({.name = name,
                          .module = module_name,
                          .doc = doc,
                          .parameters = std::move(parameters),
                          .body = body},
                         nb::none(), defaults, keyword_defaults);
}

} // namespace

KELVORA_MODULE(_clickhouse, m) {
    m.attr("__doc__") = "Parameter binding and result decoding for kelvora's ClickHouse clients.";
    clickhouse::init_values();
    clickhouse::init_value_literals();
    clickhouse::init_rows();
    m.attr("Row") = clickhouse::row_class();
    nb::dict bind_keyword_defaults;
    bind_keyword_defaults["datetime64"] = true;
    m.attr("bind") = function(
        "bind",
        "Replace each %(name)s of `query` by the ClickHouse literal of params[name] (%% is a "
        "percent sign); with params None the query is returned as it is. Aware datetimes are "
        "written as their instant, whatever `zone` (taken for compatibility, unused). "
        "`datetime64` says whether the server has DateTime64 (version 20 on, the embedded "
        "engine): a datetime with microseconds is written as a DateTime64 where it has it, as "
        "its whole seconds where not.",
        {{"query", "str", Check::ExactStr},
         {"params"},
         {"zone"},
         {"datetime64", "bool", Check::None, Kind::KeywordOnly}},
        bind, nb::make_tuple(nb::none(), nb::none()), bind_keyword_defaults);
    m.attr("decode_row_binary") = function(
        "decode_row_binary",
        "Rows of a RowBinaryWithNamesAndTypes answer as a list of rows; datetimes are naive, in "
        "the column's time zone or else `zone` (a tzinfo, None for UTC).",
        {{"data"}, {"zone"}}, decode_row_binary, nb::make_tuple(nb::none()));
    m.attr("decode_native") = function(
        "decode_native",
        "Rows of a Native answer (blocks of columns) as a list of rows; datetimes are naive, in "
        "the column's time zone or else `zone` (a tzinfo, None for UTC). Where the answer names a "
        "column's type \"DateTime\" alone (servers leave the zone out there for HTTP clients), "
        "`column_types()` is asked once for the statement's column type names (or None).",
        {{"data"}, {"zone"}, {"column_types"}}, decode_native,
        nb::make_tuple(nb::none(), nb::none()));
    m.attr("decode_tab_separated") =
        function("decode_tab_separated",
                 "Rows of a TabSeparatedWithNamesAndTypes answer as a list of rows; datetimes "
                 "are naive, as the answer shows them.",
                 {{"data"}, {"zone"}}, decode_tab_separated, nb::make_tuple(nb::none()));
}
