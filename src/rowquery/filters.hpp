// Filters with operators: `column=operator.value`, one condition per query parameter (a column
// given twice must meet both), each value typed by its column and bound as a parameter.
#pragma once

#include "rowquery/column_types.hpp"

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>
#include <vector>

namespace kelvora::rowquery {

namespace nb = nanobind;

/// The operators a column of `type` takes, in the order OpenAPI lists them: comparisons on
/// ordered types, eq/ne/in/not_in on the others, like/ilike on text, has on arrays, is_null on
/// Nullable columns.
std::vector<const char*> operators_of(const ColumnType& type);

/// Where one filter's condition goes: the clause so far and its parameters.
struct Conditions {
    std::string clause;                ///< "c1 AND c2 ..." (empty: no condition)
    nb::dict parameters;               ///< p0, p1, ... for the values
    bool case_insensitive_like = true; ///< the engine has ILIKE (else lowerUTF8 on both sides)

    /// Adds the condition of `filter` ("gte.10", "in.(1,2)", "is_null.true", ...) on the column
    /// `quoted_name` of `type`. Throws ValueRefused with the reason when the operator is unknown
    /// or not one of the column's, or a value does not fit.
    void add(const std::string& quoted_name, const ColumnType& type, std::string_view filter);

    /// Adds a condition written by the router itself (the cursor's).
    void add_text(const std::string& condition);

    /// A parameter holding `value`, as its placeholder "%(pN)s".
    std::string bind(nb::handle value);
};

/// The items of a list value "(a,b,\"c,d\")": comma-separated, double quotes around an item that
/// holds commas, parentheses or quotes (backslash escapes inside). Throws ValueRefused.
std::vector<std::string> list_items(std::string_view text);

} // namespace kelvora::rowquery
