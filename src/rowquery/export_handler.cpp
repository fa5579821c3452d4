// GET "/export/": the rows of the same filters and sorting as NDJSON, CSV or Parquet, streamed
// from the engine's own output as it writes it (nothing is held but the chunk in flight), and
// stopped at the engine when the client goes away.
#include "rowquery/handlers.hpp"
#include "rowquery/router.hpp"
#include "rowquery/statements.hpp"
#include "rowquery/table_request.hpp"

#include "native/calls.hpp"
#include "native/errors.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"

namespace kelvora::rowquery {

namespace {

struct ExportFormat {
    const char* name;
    const char* engine_format;
    const char* media_type;
};

const ExportFormat export_formats[] = {
    {"ndjson", "JSONEachRow", "application/x-ndjson"},
    {"csv", "CSVWithNames", "text/csv; charset=utf-8"},
    {"parquet", "Parquet", "application/vnd.apache.parquet"},
};

Task export_rows(nb::object state, nb::object request) {
    Router& r = state_of<Router>(state);
    try {
        TableRequest q = read_table_request(r, request.attr("query_params").attr("multi_items")(),
                                            Purpose::Export);
        std::string sql = select_statement(r, q, q.selected, false);
        if (q.has_limit) sql += " LIMIT " + std::to_string(q.limit);
        const ExportFormat* format = &export_formats[0];
        for (const ExportFormat& known : export_formats)
            if (q.format == known.name) format = &known;
        nb::object response = co_await call(
            r.streams.attr("stream_response"), r.client, to_str(sql), q.conditions.parameters,
            nb::str(format->engine_format), nb::str(format->media_type));
        co_return response;
    } catch (...) {
        r.fail("exporting", "Failed to export records: ");
    }
}

} // namespace

FunctionSpec export_rows_spec() {
    return {.name = "export_rows",
            .qualname = "create_query_router.<locals>.export_rows",
            .module = module_name,
            .doc = "Export the records of the same filters and sorting as NDJSON, CSV or Parquet",
            .parameters = {{"request"}},
            .coroutine = coroutine_body<export_rows>()};
}

} // namespace kelvora::rowquery
