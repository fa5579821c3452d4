// GET "/query/": one page of rows with typed filters, sorting and field selection; the next
// page by keyset cursor (the table's own order) or by offset (an order of the request's), and
// the count the request asks for.
#include "rowquery/handlers.hpp"
#include "rowquery/router.hpp"
#include "rowquery/statements.hpp"
#include "rowquery/table_request.hpp"

#include "native/errors.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

#include <algorithm>

namespace kelvora::rowquery {

namespace {

using namespace nb::literals;

const char* count_mode_name(CountMode mode) {
    switch (mode) {
    case CountMode::Exact:
        return "exact";
    case CountMode::Estimated:
        return "estimated";
    case CountMode::None:
        break;
    }
    return "none";
}

/// The request's own link with `replaced` parameters dropped and `name=value` added.
nb::object link(nb::handle request, const char* name, nb::handle value) {
    nb::object url =
        request.attr("url").attr("remove_query_params")(nb::make_tuple("cursor", "offset"));
    nb::dict added;
    added[name] = value;
    url = url.attr("include_query_params")(**added);
    return nb::str("{}?{}").format(url.attr("path"), url.attr("query"));
}

/// The sum of EXPLAIN ESTIMATE's `rows` (element [3] of each row), or the one value of the
/// system.parts sum.
nb::object estimated_total(const Router& r, nb::handle rows) {
    if (!r.features.explain_estimate())
        return is_true(rows) ? item(item(rows, 0), 0) : nb::object(nb::int_(0));
    nb::object total = nb::int_(0);
    for (nb::handle row : rows)
        total = steal_or_raise(PyNumber_Add(total.ptr(), item(row, 3).ptr()));
    return total;
}

Task query_rows(nb::object state, nb::object request) {
    Router& r = state_of<Router>(state);
    try {
        TableRequest q = read_table_request(r, request.attr("query_params").attr("multi_items")(),
                                            Purpose::Page);
        // The keyset columns come after the answered ones, so each record pairs only those.
        std::vector<size_t> fetched = q.selected;
        if (q.keyset_order)
            for (size_t index : r.keyset)
                if (std::find(fetched.begin(), fetched.end(), index) == fetched.end())
                    fetched.push_back(index);
        nb::dict params = nb::borrow<nb::dict>(q.conditions.parameters.attr("copy")());
        params["limit"] = q.limit + 1; // one row more tells whether a next page exists
        if (q.offset > 0) params["offset"] = q.offset;
        nb::object rows = co_await r.execute(to_str(select_statement(r, q, fetched, true)), params);

        const bool more = PyList_GET_SIZE(rows.ptr()) > q.limit;
        if (more) rows = rows[nb::slice(nb::none(), nb::int_(q.limit), nb::none())];
        nb::list names;
        for (size_t index : q.selected)
            names.append(r.columns[index].text);
        nb::object items = records_from_rows(names, rows);

        nb::object count = nb::none();
        if (q.count == CountMode::Exact) {
            nb::object counted =
                co_await r.execute(to_str(count_statement(r, q)), q.conditions.parameters);
            count = item(item(counted, 0), 0);
        } else if (q.count == CountMode::Estimated) {
            nb::dict estimate_params =
                r.features.explain_estimate() ? q.conditions.parameters : r.table_parameters();
            count = estimated_total(
                r, co_await r.execute(to_str(estimate_statement(r, q)), estimate_params));
        }

        nb::object next = nb::none();
        if (more && q.keyset_order) {
            nb::handle last = PyList_GET_ITEM(rows.ptr(), PyList_GET_SIZE(rows.ptr()) - 1);
            nb::list position;
            for (size_t index : r.keyset) {
                auto at = std::find(fetched.begin(), fetched.end(), index) - fetched.begin();
                position.append(item(last, at));
            }
            next = link(request, "cursor", to_str(encode_cursor(position)));
        } else if (more) {
            next = link(request, "offset", nb::int_(q.offset + q.limit));
        }
        co_return r.page_answer(
            ordered({{KELVORA_NAME("items"), items},
                     {KELVORA_NAME("count"), count},
                     {KELVORA_NAME("count_mode"), nb::str(count_mode_name(q.count))},
                     {KELVORA_NAME("limit"), nb::int_(q.limit)},
                     {KELVORA_NAME("offset"),
                      q.cursor.size() ? nb::object(nb::none()) : nb::object(nb::int_(q.offset))},
                     {KELVORA_NAME("next"), next}}));
    } catch (...) {
        r.fail("querying", "Failed to query records: ");
    }
}

} // namespace

FunctionSpec query_rows_spec() {
    return {.name = "query_rows",
            .qualname = "create_query_router.<locals>.query_rows",
            .module = module_name,
            .doc = "Query records with typed filters, sorting, field selection and paging",
            .parameters = {{"request"}},
            .coroutine = coroutine_body<query_rows>()};
}

} // namespace kelvora::rowquery
