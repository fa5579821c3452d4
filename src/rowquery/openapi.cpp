// What OpenAPI shows of a table-query route.
#include "rowquery/openapi.hpp"

#include "rowquery/filters.hpp"

#include "native/literals.hpp"

namespace kelvora::rowquery {

namespace {

nb::dict schema(const char* type) {
    nb::dict s;
    s["type"] = type;
    return s;
}

nb::dict parameter(const char* name, nb::handle parameter_schema, const std::string& description) {
    nb::dict p;
    p["name"] = name;
    p["in"] = "query";
    p["required"] = false;
    p["schema"] = parameter_schema;
    p["description"] = to_str(description);
    return p;
}

/// Escapes a name for a regular expression.
std::string regex_escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) out += '\\';
        out += c;
    }
    return out;
}

void common(const Router& r, nb::list& into) {
    nb::dict select = schema("string");
    std::string names;
    for (const Column& column : r.columns)
        names += (names.empty() ? "" : "|") + regex_escaped(column.name);
    select["pattern"] = to_str("^(" + names + ")(,(" + names + "))*$");
    into.append(parameter("select", select,
                          "The columns answered, comma-separated (default: "
                          "every stored column)"));
    nb::dict order = schema("string");
    std::string sortable;
    for (const Column& column : r.columns)
        if (column.sortable) sortable += (sortable.empty() ? "" : "|") + regex_escaped(column.name);
    std::string one = "(" + sortable + ")(\\.asc|\\.desc)?";
    order["pattern"] = to_str("^" + one + "(," + one + ")*$");
    into.append(parameter("order", order,
                          "Sorting: col.desc,col2 (ascending unless .desc). Without it rows come "
                          "in the table's sorting key order and pages link by cursor"));
}

} // namespace

nb::list filter_parameters(const Router& r) {
    nb::list parameters;
    for (const Column& column : r.columns) {
        if (!column.filterable) continue;
        std::vector<const char*> operators = operators_of(column.type);
        std::string alternatives, listed;
        for (const char* op : operators) {
            alternatives += (alternatives.empty() ? "" : "|") + std::string(op);
            listed += (listed.empty() ? "" : ", ") + std::string(op);
        }
        nb::dict item = schema("string");
        item["pattern"] = to_str("^(" + alternatives + ")\\.");
        nb::dict list = schema("array");
        list["items"] = item;
        nb::dict p = parameter("", list,
                               "Filter on " + column.name + " (" + column.type.name +
                                   "): operator.value with " + listed +
                                   "; in.(a,b), not_in.(a,b), between.(low,high), "
                                   "is_null.true; repeated, every condition holds");
        p["name"] = column.text;
        p["style"] = "form";
        p["explode"] = true;
        parameters.append(p);
    }
    return parameters;
}

nb::list page_parameters(const Router& r) {
    nb::list parameters;
    common(r, parameters);
    nb::dict limit = schema("integer");
    limit["minimum"] = 1;
    limit["maximum"] = r.max_limit;
    limit["default"] = 100;
    parameters.append(parameter("limit", limit, "Rows on a page"));
    nb::dict offset = schema("integer");
    offset["minimum"] = 0;
    offset["default"] = 0;
    parameters.append(parameter("offset", offset,
                                "Rows skipped (with order=; a cursor is "
                                "cheaper at depth)"));
    parameters.append(parameter("cursor", schema("string"),
                                "The position a page's next link gives: the page after it"));
    nb::dict count = schema("string");
    nb::list modes;
    for (const char* mode : {"none", "exact", "estimated"})
        modes.append(mode);
    count["enum"] = modes;
    count["default"] = "none";
    parameters.append(parameter("count", count,
                                "exact: count() of the filter; estimated: the engine's own "
                                "estimate; none: no count"));
    for (nb::handle p : filter_parameters(r))
        parameters.append(p);
    return parameters;
}

nb::list export_parameters(const Router& r) {
    nb::list parameters;
    nb::dict format = schema("string");
    nb::list formats;
    for (const char* name : {"ndjson", "csv", "parquet"})
        formats.append(name);
    format["enum"] = formats;
    format["default"] = "ndjson";
    parameters.append(parameter("format", format, "The answer's format"));
    common(r, parameters);
    nb::dict limit = schema("integer");
    limit["minimum"] = 1;
    parameters.append(parameter("limit", limit, "At most this many rows (default: all)"));
    for (nb::handle p : filter_parameters(r))
        parameters.append(p);
    return parameters;
}

nb::dict openapi_extra(nb::handle parameters, nb::handle request_body) {
    nb::dict extra;
    extra["parameters"] = parameters;
    if (request_body.is_valid()) extra["requestBody"] = request_body;
    return extra;
}

nb::list bulk_parameters() {
    nb::dict key = schema("string");
    key["minLength"] = 1;
    key["maxLength"] = 255;
    nb::dict header = parameter("Idempotency-Key", key,
                                "Makes a retry store nothing twice: a request of a key already "
                                "stored answers its count with replayed true");
    header["in"] = "header";
    nb::list parameters;
    parameters.append(header);
    return parameters;
}

nb::dict bulk_request_body() {
    nb::dict row = schema("object");
    nb::dict rows = schema("array");
    rows["items"] = row;
    nb::dict content;
    auto media = [&](const char* type, nb::handle media_schema) {
        nb::dict entry;
        entry["schema"] = media_schema;
        content[type] = entry;
    };
    media("application/json", rows);
    media("application/x-ndjson", schema("string"));
    media("text/csv", schema("string"));
    nb::dict binary = schema("string");
    binary["format"] = "binary";
    media("application/vnd.apache.parquet", binary);
    nb::dict body;
    body["required"] = true;
    body["content"] = content;
    return body;
}

} // namespace kelvora::rowquery
