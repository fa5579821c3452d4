// create_query_router: reads the table's columns, types and keys once, then registers the
// handlers closed over one router state.
#include "rowquery/factory.hpp"

#include "rowquery/column_types.hpp"
#include "rowquery/filters.hpp"
#include "rowquery/handlers.hpp"
#include "rowquery/openapi.hpp"
#include "rowquery/router.hpp"
#include "rowquery/statements.hpp"

#include "native/attributes.hpp"
#include "native/calls.hpp"
#include "native/errors.hpp"
#include "native/framework.hpp"
#include "native/function.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"
#include "native/routes.hpp"

#include <algorithm>
#include <charconv>
#include <memory>
#include <set>

namespace kelvora::rowquery {

namespace {

using namespace nb::literals;

constexpr const char* factory_doc = R"(
    Create a router that queries, exports, ingests and mutates one ClickHouse table, to be
    included next to its CRUD router (same prefix, its own paths).

    Args:
        table_name: The table ("table" or "database.table")
        backend: A storage backend whose client runs the statements, or a client itself
        primary_key: The key column, which ends the cursor order when the sorting key lacks it
            (default: the backend's primary_key, if any)
        router_prefix: URL prefix (default: "/" + the table with "_" replaced by "-")
        router_tags: OpenAPI tags (default: [table_name])
        filterable_fields: Columns requests may filter on (default: every column with operators)
        sortable_fields: Columns requests may sort on (default: every ordered column)
        lightweight_delete: Delete with DELETE FROM (default: where the engine has it)
        max_limit: The largest page

    Returns:
        FastAPI APIRouter with GET /query/, GET /export/, POST /bulk/, PATCH and DELETE /rows/,
        GET /mutations/{mutation_id}/

    Raises:
        RuntimeError: If FastAPI is not installed
        ValueError: A field list naming a column the table lacks, or lightweight_delete asked
            of an engine without it
    )";

enum Argument : size_t {
    table_name_arg,
    backend_arg,
    primary_key_arg,
    router_prefix_arg,
    router_tags_arg,
    filterable_fields_arg,
    sortable_fields_arg,
    lightweight_delete_arg,
    max_limit_arg,
};

void check(const char* name, Check check, nb::handle value, bool none_allowed) {
    if (none_allowed && value.is_none()) return;
    check_argument(Parameter{name, nullptr, check}, value);
}

nb::object run(nb::handle client, const std::string& sql, nb::handle params) {
    return call_method(client, KELVORA_NAME("execute"), to_str(sql), params);
}

void read_version(Router& r) {
    std::string version = utf8(item(item(run(r.client, "SELECT version()", nb::dict()), 0), 0));
    const char* text = version.data();
    const char* end = text + version.size();
    auto major = std::from_chars(text, end, r.features.major);
    if (major.ptr < end && *major.ptr == '.') std::from_chars(major.ptr + 1, end, r.features.minor);
}

/// The names of a field list argument, each one of the table's columns.
std::set<std::string> named_columns(const Router& r, const char* argument, nb::handle names) {
    std::set<std::string> result;
    for (nb::handle name : names) {
        std::string text = py_format(name);
        if (!r.by_name.count(text))
            raise(PyExc_ValueError, std::string(argument) + " names '" + text +
                                        "', which is not a column of " + r.table);
        result.insert(text);
    }
    return result;
}

/// The table's columns from DESCRIBE TABLE (in its order) and the key flags of system.columns.
void read_columns(Router& r, nb::handle filterable, nb::handle sortable) {
    nb::object described = run(r.client, "DESCRIBE TABLE " + r.table, nb::dict());
    for (nb::handle row : described) {
        Column column;
        column.text = item(row, 0);
        column.name = utf8(column.text);
        column.quoted = quoted_identifier(column.name);
        column.type = parse_column_type(utf8(item(row, 1)));
        std::string kind = utf8(item(row, 2));
        column.insertable = kind != "MATERIALIZED" && kind != "ALIAS" && kind != "EPHEMERAL";
        column.has_default = kind == "DEFAULT";
        r.by_name[column.name] = r.columns.size();
        r.columns.push_back(std::move(column));
    }
    nb::object keys = run(r.client,
                          "SELECT name FROM system.columns WHERE " + database_condition(r) +
                              " AND table = %(table)s AND (is_in_sorting_key OR "
                              "is_in_primary_key OR is_in_partition_key)",
                          r.table_parameters());
    for (nb::handle row : keys) {
        auto found = r.by_name.find(utf8(item(row, 0)));
        if (found != r.by_name.end()) r.columns[found->second].in_key = true;
    }
    const bool all_filterable = filterable.is_none(), all_sortable = sortable.is_none();
    std::set<std::string> filters, sorts;
    if (!all_filterable) filters = named_columns(r, "filterable_fields", filterable);
    if (!all_sortable) sorts = named_columns(r, "sortable_fields", sortable);
    for (Column& column : r.columns) {
        column.filterable =
            !operators_of(column.type).empty() && (all_filterable || filters.count(column.name));
        // Enum and Bool values sort by their numbers, which comparisons do not offer.
        const bool sorts_at_all =
            column.type.family != Family::Array && column.type.family != Family::Other;
        column.sortable = sorts_at_all && (all_sortable || sorts.count(column.name));
    }
}

/// The cursor order: the sorting key when every part of it is a plain column of an ordered,
/// non-Nullable type, then the key column when the sorting key lacks it.
void choose_keyset(Router& r, nb::handle primary_key, const std::string& sorting_key) {
    std::string family;
    std::vector<std::string> parts = type_arguments("key(" + sorting_key + ")", family);
    for (std::string& part : parts) {
        if (part.size() > 1 && part.front() == '`' && part.back() == '`')
            part = part.substr(1, part.size() - 2);
        auto found = r.by_name.find(part);
        if (found == r.by_name.end() || !r.columns[found->second].type.is_ordered() ||
            r.columns[found->second].type.nullable) {
            r.keyset.clear();
            break;
        }
        r.keyset.push_back(found->second);
    }
    if (primary_key.is_none()) return;
    std::string key = utf8(primary_key);
    auto found = r.by_name.find(key);
    if (found == r.by_name.end())
        raise(PyExc_ValueError, "primary_key '" + key + "' is not a column of " + r.table);
    if (std::find(r.keyset.begin(), r.keyset.end(), found->second) == r.keyset.end())
        r.keyset.push_back(found->second);
}

nb::object resolve_primary_key(nb::handle primary_key, nb::handle backend) {
    if (!primary_key.is_none()) return nb::borrow(primary_key);
    nb::object key;
    if (!lookup_attribute(backend, KELVORA_NAME("primary_key"), key)) return nb::none();
    if (!key.is_none() && !PyUnicode_CheckExact(key.ptr())) raise_unexpected_type("str", key);
    return key;
}

nb::dict options(std::initializer_list<std::pair<const char*, nb::handle>> entries) {
    nb::dict result;
    for (const auto& [name, value] : entries)
        result[name] = value;
    return result;
}

nb::object create_query_router(nb::handle module, Arguments& a) {
    check("table_name", Check::ExactStr, a[table_name_arg], false);
    check("primary_key", Check::ExactStr, a[primary_key_arg], true);
    check("router_prefix", Check::ExactStr, a[router_prefix_arg], true);
    check("router_tags", Check::ExactList, a[router_tags_arg], true);
    check("filterable_fields", Check::ExactList, a[filterable_fields_arg], true);
    check("sortable_fields", Check::ExactList, a[sortable_fields_arg], true);
    const Framework& fw = framework();
    if (!fw.available)
        raise(PyExc_RuntimeError,
              "FastAPI is required for the table query API. Install with: pip install "
              "kelvora[api]");

    nb::object state = hold_state(std::make_unique<Router>());
    Router& r = state_of<Router>(state);
    nb::handle table_name = a[table_name_arg];
    r.table_name = nb::borrow(table_name);
    r.table = utf8(table_name);
    const auto [database, bare_table] = split_table_name(r.table);
    r.database = database.empty() ? nb::object(nb::none()) : nb::object(to_str(database));
    r.bare_table = to_str(bare_table);
    nb::object client;
    r.client = lookup_attribute(a[backend_arg], KELVORA_NAME("client"), client)
                   ? client
                   : nb::borrow(a[backend_arg]);
    r.max_limit = nb::cast<long>(a[max_limit_arg]);
    if (r.max_limit < 1) raise(PyExc_ValueError, "max_limit must be at least 1");
    r.log = Logger(module_global(module, "logger"));
    r.streams = nb::module_::import_("kelvora.engine_streams");
    nb::module_ json = nb::module_::import_("json");
    r.json_loads = json.attr("loads");
    r.json_dumps = json.attr("dumps");
    r.page_answers =
        ModelAnswers(module_global(module, "QueryPage"), options({{"items", nb::list()},
                                                                  {"count", nb::none()},
                                                                  {"count_mode", to_str("none")},
                                                                  {"limit", nb::int_(0)},
                                                                  {"offset", nb::none()},
                                                                  {"next", nb::none()}}));
    nb::module_ clickhouse = nb::module_::import_("kelvora.clickhouse");
    r.clickhouse_error = clickhouse.attr("ClickHouseError");
    r.connection_error = clickhouse.attr("ClickHouseConnectionError");
    r.idempotency_table = side_table(r, "_idempotency_keys");

    read_version(r);
    read_columns(r, a[filterable_fields_arg], a[sortable_fields_arg]);
    nb::object described = run(r.client,
                               "SELECT sorting_key, engine FROM system.tables WHERE " +
                                   database_condition(r) + " AND name = %(table)s",
                               r.table_parameters());
    std::string sorting_key, engine;
    if (is_true(described)) {
        sorting_key = utf8(item(item(described, 0), 0));
        engine = utf8(item(item(described, 0), 1));
    }
    choose_keyset(r, resolve_primary_key(a[primary_key_arg], a[backend_arg]), sorting_key);
    r.reads_prewhere = engine.find("MergeTree") != std::string::npos;
    const bool can_delete_lightly = r.features.lightweight_delete() && r.reads_prewhere;
    nb::handle lightweight = a[lightweight_delete_arg];
    r.lightweight_delete = lightweight.is_none() ? can_delete_lightly : is_true(lightweight);
    if (r.lightweight_delete && !can_delete_lightly)
        raise(PyExc_ValueError, "lightweight_delete needs a MergeTree table on ClickHouse 22.8 or "
                                "later; " +
                                    r.table + " is " + engine + " on " +
                                    std::to_string(r.features.major) + "." +
                                    std::to_string(r.features.minor));

    nb::object default_prefix =
        nb::str("/") + r.bare_table.attr("replace")(KELVORA_NAME("_"), KELVORA_NAME("-"));
    r.prefix = is_true(a[router_prefix_arg]) ? nb::borrow(a[router_prefix_arg]) : default_prefix;
    nb::list default_tags;
    default_tags.append(table_name);
    nb::object tags =
        is_true(a[router_tags_arg]) ? nb::borrow(a[router_tags_arg]) : nb::object(default_tags);
    nb::object router = fw.api_router("prefix"_a = r.prefix, "tags"_a = tags);

    nb::object request_type = nb::module_::import_("fastapi").attr("Request");
    nb::object none = nb::none();
    auto route = [&](const char* method, const char* path, const FunctionSpec& spec,
                     nb::handle model, nb::handle extra, HandlerSignature signature,
                     nb::handle responses = nb::handle(), Answers answered = Answers::ByFramework) {
        nb::dict route_options = options({{"response_model", model}});
        if (extra.is_valid()) route_options["openapi_extra"] = extra;
        // Requests name columns and values the handlers check themselves, so FastAPI does not
        // list the 422 they answer on its own.
        nb::dict answers = responses.is_valid() ? nb::borrow<nb::dict>(responses) : nb::dict();
        nb::dict refused;
        refused["description"] = "A column, operator or value the table does not take";
        answers[nb::int_(422)] = refused;
        route_options["responses"] = answers;
        add_route(router, method, to_str(path), route_options, spec, state, none, signature,
                  answered);
    };
    HandlerSignature with_request;
    with_request.add("request", request_type);

    // Every path ends in "/", which no key value of the CRUD router's "/{key}" routes can take
    // (a path parameter holds no "/" and is never empty), whatever the order of the two routers.
    // The page's JSON is written by its handler.
    route("get", "/query/", query_rows_spec(), r.page_answers.model,
          openapi_extra(page_parameters(r)), with_request, nb::handle(), Answers::ByHandler);
    nb::dict streamed, streamed_content;
    for (const char* media : {"application/x-ndjson", "text/csv", "application/vnd.apache.parquet"})
        streamed_content[media] = nb::dict();
    streamed["description"] = "The rows, streamed in the format asked for";
    streamed["content"] = streamed_content;
    nb::dict export_answers;
    export_answers[nb::int_(200)] = streamed;
    route("get", "/export/", export_rows_spec(), none, openapi_extra(export_parameters(r)),
          with_request, export_answers);
    nb::dict bulk_answers, key_taken;
    key_taken["description"] = "Another request of this Idempotency-Key is storing its rows, or "
                               "was cut short after claiming the key";
    bulk_answers[nb::int_(409)] = key_taken;
    route("post", "/bulk/", ingest_rows_spec(), module_global(module, "BulkAnswer"),
          openapi_extra(bulk_parameters(), bulk_request_body()), with_request, bulk_answers);

    nb::object typing = nb::module_::import_("typing");
    nb::object changes_type = typing.attr("Dict")[nb::make_tuple(
        nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)), typing.attr("Any"))];
    HandlerSignature update_signature;
    update_signature.add("request", request_type);
    update_signature.add("changes", changes_type, fw.body(nb::ellipsis()));
    nb::object mutation_model = module_global(module, "MutationAnswer");
    route("patch", "/rows/", update_rows_spec(), mutation_model,
          openapi_extra(filter_parameters(r)), update_signature);
    route("delete", "/rows/", delete_rows_spec(), mutation_model,
          openapi_extra(filter_parameters(r)), with_request);

    HandlerSignature mutation_signature;
    mutation_signature.add("mutation_id", reinterpret_cast<PyObject*>(&PyUnicode_Type));
    nb::dict not_found;
    not_found[nb::int_(404)] = nb::dict();
    not_found[nb::int_(404)]["description"] = "No mutation of this table has this id";
    route("get", "/mutations/{mutation_id}/", get_mutation_spec(),
          module_global(module, "MutationStatus"), nb::handle(), mutation_signature, not_found);
    return router;
}

} // namespace

nb::object make_create_query_router(nb::handle module) {
    FunctionSpec spec{.name = "create_query_router",
                      .module = module_name,
                      .doc = factory_doc,
                      .parameters = {{"table_name", "str"},
                                     {"backend", "Any"},
                                     {"primary_key", "Optional[str]"},
                                     {"router_prefix", "Optional[str]"},
                                     {"router_tags", "Optional[List[str]]"},
                                     {"filterable_fields", "Optional[List[str]]"},
                                     {"sortable_fields", "Optional[List[str]]"},
                                     {"lightweight_delete", "Optional[bool]"},
                                     {"max_limit", "int", Check::Integer}},
                      .return_annotation = "APIRouter",
                      .body = create_query_router};
    nb::object none = nb::none();
    return make_function(spec, module, nb::make_tuple(none, none, none, none, none, none, 1000));
}

} // namespace kelvora::rowquery
