// What a request asks of the table, read from its query string: filters, `select=a,b`,
// `order=col.desc,col2`, `limit`, `offset`, `cursor`, `count` and the export's `format`. Every
// column it names is one of the table's; anything that does not fit is a 422.
#pragma once

#include "rowquery/filters.hpp"
#include "rowquery/router.hpp"

#include <nanobind/nanobind.h>

#include <string>
#include <utility>
#include <vector>

namespace kelvora::rowquery {

namespace nb = nanobind;

/// Which parameters besides filters a route takes.
enum class Purpose {
    Page,    ///< select, order, limit, offset, cursor, count
    Export,  ///< select, order, limit, format
    Mutation ///< filters only
};

enum class CountMode { None, Exact, Estimated };

struct TableRequest {
    Conditions conditions;
    std::vector<size_t> selected;               ///< the columns answered, in order
    std::vector<std::pair<size_t, bool>> order; ///< column, descending
    bool keyset_order = false; ///< no `order` given: the rows follow the cursor's order
    bool filtered = false;     ///< the request has filters of its own (the cursor's aside)
    long limit = 100, offset = 0;
    bool has_limit = false;
    nb::list cursor; ///< the typed values of the cursor's position (empty: none)
    CountMode count = CountMode::None;
    std::string format = "ndjson";
};

/// Reads the request's `query_params.multi_items()` for `purpose`; raises the HTTP 422.
TableRequest read_table_request(const Router& r, nb::handle items, Purpose purpose);

/// The opaque cursor of a row's keyset values (the decoded values, in the keyset's order).
std::string encode_cursor(nb::handle values);

} // namespace kelvora::rowquery
