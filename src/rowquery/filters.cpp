// Filters with operators, each value typed by its column and bound as a parameter.
#include "rowquery/filters.hpp"

#include "rowquery/typed_values.hpp"

#include "native/errors.hpp"
#include "native/literals.hpp"

#include <algorithm>

namespace kelvora::rowquery {

namespace {

bool is_one_of(std::string_view op, const std::vector<const char*>& operators) {
    return std::any_of(operators.begin(), operators.end(),
                       [&](const char* known) { return op == known; });
}

const char* comparison(std::string_view op) {
    if (op == "eq") return " = ";
    if (op == "ne") return " != ";
    if (op == "gt") return " > ";
    if (op == "gte") return " >= ";
    if (op == "lt") return " < ";
    if (op == "lte") return " <= ";
    return nullptr;
}

} // namespace

std::vector<const char*> operators_of(const ColumnType& type) {
    std::vector<const char*> operators;
    if (type.family == Family::Array) {
        operators.push_back("has");
    } else if (type.is_ordered()) {
        operators = {"eq", "ne", "gt", "gte", "lt", "lte", "in", "not_in", "between"};
        if (type.is_text()) {
            operators.push_back("like");
            operators.push_back("ilike");
        }
    } else if (type.family == Family::Bool || type.family == Family::Enum) {
        operators = {"eq", "ne", "in", "not_in"};
    }
    if (type.nullable) operators.push_back("is_null");
    return operators;
}

std::vector<std::string> list_items(std::string_view text) {
    if (text.size() < 2 || text.front() != '(' || text.back() != ')')
        throw ValueRefused("a list is written (a,b,...)");
    std::string_view body = text.substr(1, text.size() - 2);
    std::vector<std::string> items;
    std::string current;
    bool quoted = false, was_quoted = false;
    for (size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (quoted) {
            if (c == '\\' && i + 1 < body.size())
                current += body[++i];
            else if (c == '"')
                quoted = false;
            else
                current += c;
        } else if (c == '"' && current.empty() && !was_quoted) {
            quoted = was_quoted = true;
        } else if (c == ',') {
            items.push_back(std::move(current));
            current.clear();
            was_quoted = false;
        } else if (was_quoted) {
            throw ValueRefused("text after a quoted list item");
        } else {
            current += c;
        }
    }
    if (quoted) throw ValueRefused("a quoted list item is not closed");
    if (body.empty()) throw ValueRefused("an empty list");
    items.push_back(std::move(current));
    return items;
}

std::string Conditions::bind(nb::handle value) {
    std::string name = "p" + std::to_string(PyDict_GET_SIZE(parameters.ptr()));
    if (PyDict_SetItem(parameters.ptr(), to_str(name).ptr(), value.ptr())) raise_pending();
    return "%(" + name + ")s";
}

void Conditions::add_text(const std::string& condition) {
    clause += clause.empty() ? "" : " AND ";
    clause += condition;
}

void Conditions::add(const std::string& quoted_name, const ColumnType& type,
                     std::string_view filter) {
    size_t dot = filter.find('.');
    std::string_view op = filter.substr(0, dot);
    if (dot == std::string_view::npos)
        throw ValueRefused("a filter is written operator.value (eq.10, in.(1,2), ...)");
    std::string_view value = filter.substr(dot + 1);
    std::vector<const char*> operators = operators_of(type);
    if (!is_one_of(op, operators)) {
        std::string known;
        for (const char* name : operators)
            known += (known.empty() ? "" : ", ") + std::string(name);
        throw ValueRefused("the operator '" + std::string(op) + "' is not one of this column's (" +
                           (known.empty() ? std::string("none") : known) + ")");
    }
    std::string condition;
    if (const char* sign = comparison(op)) {
        condition = quoted_name + sign + bind(value_from_text(type, value));
    } else if (op == "in" || op == "not_in") {
        std::string placeholders;
        for (const std::string& item : list_items(value))
            placeholders += (placeholders.empty() ? "" : ", ") + bind(value_from_text(type, item));
        condition = quoted_name + (op == "in" ? " IN (" : " NOT IN (") + placeholders + ")";
    } else if (op == "between") {
        std::vector<std::string> bounds = list_items(value);
        if (bounds.size() != 2) throw ValueRefused("between takes two bounds: between.(low,high)");
        condition = "(" + quoted_name + " >= " + bind(value_from_text(type, bounds[0])) + " AND " +
                    quoted_name + " <= " + bind(value_from_text(type, bounds[1])) + ")";
    } else if (op == "like") {
        condition = quoted_name + " LIKE " + bind(to_str(std::string(value)));
    } else if (op == "ilike") {
        std::string pattern = bind(to_str(std::string(value)));
        condition = case_insensitive_like
                        ? quoted_name + " ILIKE " + pattern
                        : "lowerUTF8(" + quoted_name + ") LIKE lowerUTF8(" + pattern + ")";
    } else if (op == "is_null") {
        if (value != "true" && value != "false") throw ValueRefused("is_null takes true or false");
        condition = (value == "true" ? "isNull(" : "isNotNull(") + quoted_name + ")";
    } else { // has
        condition = "has(" + quoted_name + ", " + bind(value_from_text(*type.element, value)) + ")";
    }
    add_text(condition);
}

} // namespace kelvora::rowquery
