// What a request asks of the table, read from its query string.
#include "rowquery/table_request.hpp"

#include "rowquery/typed_values.hpp"

#include "native/errors.hpp"
#include "native/handler_guard.hpp"
#include "native/literals.hpp"

#include <charconv>
#include <climits>

namespace kelvora::rowquery {

namespace {

[[noreturn]] void refuse(const std::string& detail) {
    raise_http_error(422, detail);
}

std::vector<std::string_view> comma_separated(std::string_view text) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) comma = text.size();
        parts.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return parts;
}

long whole_number(std::string_view name, std::string_view text, long least, long most) {
    long value = -1;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < least ||
        value > most)
        refuse(std::string(name) + " must be a whole number from " + std::to_string(least) +
               " to " + std::to_string(most) + ", not '" + std::string(text) + "'");
    return value;
}

void read_select(const Router& r, std::string_view text, TableRequest& out) {
    for (std::string_view name : comma_separated(text)) {
        const Column& column = r.column(name, "select");
        out.selected.push_back(r.by_name.at(column.name));
    }
}

void read_order(const Router& r, std::string_view text, TableRequest& out) {
    for (std::string_view part : comma_separated(text)) {
        bool descending = false;
        std::string_view name = part;
        if (part.ends_with(".desc")) {
            descending = true;
            name.remove_suffix(5);
        } else if (part.ends_with(".asc")) {
            name.remove_suffix(4);
        }
        const Column& column = r.column(name, "order");
        if (!column.sortable) refuse("Column '" + column.name + "' cannot be sorted on");
        out.order.emplace_back(r.by_name.at(column.name), descending);
    }
}

void read_cursor(const Router& r, std::string_view text, TableRequest& out) {
    if (r.keyset.empty()) refuse("This table has no cursor order: page with offset");
    // base64url without padding, holding a JSON list of the keyset values' texts.
    std::string padded(text);
    padded.append((4 - padded.size() % 4) % 4, '=');
    nb::object texts;
    try {
        nb::object decoded = nb::module_::import_("base64").attr("urlsafe_b64decode")(
            nb::bytes(padded.data(), padded.size()));
        texts = r.json_loads(decoded);
    } catch (nb::python_error& e) {
        if (!is_ordinary_exception(e)) throw;
        refuse("The cursor is not one this table gave");
    }
    if (!PyList_CheckExact(texts.ptr()) ||
        PyList_GET_SIZE(texts.ptr()) != static_cast<Py_ssize_t>(r.keyset.size()))
        refuse("The cursor is not one this table gave");
    for (size_t i = 0; i < r.keyset.size(); ++i) {
        nb::handle item = PyList_GET_ITEM(texts.ptr(), static_cast<Py_ssize_t>(i));
        if (!PyUnicode_Check(item.ptr())) refuse("The cursor is not one this table gave");
        try {
            out.cursor.append(value_from_text(r.columns[r.keyset[i]].type, utf8(item)));
        } catch (const ValueRefused&) {
            refuse("The cursor is not one this table gave");
        }
    }
}

CountMode count_mode(std::string_view text) {
    if (text == "exact") return CountMode::Exact;
    if (text == "estimated") return CountMode::Estimated;
    if (text == "none") return CountMode::None;
    refuse("count must be exact, estimated or none, not '" + std::string(text) + "'");
}

} // namespace

TableRequest read_table_request(const Router& r, nb::handle items, Purpose purpose) {
    TableRequest out;
    out.conditions.case_insensitive_like = r.features.ilike();
    bool has_offset = false, has_cursor = false;
    for (nb::handle entry : items) {
        std::string name = utf8(entry[0]);
        std::string value = utf8(entry[1]);
        const bool reads = purpose != Purpose::Mutation;
        if (reads && name == "select") {
            read_select(r, value, out);
        } else if (reads && name == "order") {
            read_order(r, value, out);
        } else if (reads && name == "limit") {
            out.limit = whole_number("limit", value, 1,
                                     purpose == Purpose::Export ? LONG_MAX : r.max_limit);
            out.has_limit = true;
        } else if (purpose == Purpose::Page && name == "offset") {
            out.offset = whole_number("offset", value, 0, LONG_MAX);
            has_offset = true;
        } else if (purpose == Purpose::Page && name == "cursor") {
            read_cursor(r, value, out);
            has_cursor = true;
        } else if (purpose == Purpose::Page && name == "count") {
            out.count = count_mode(value);
        } else if (purpose == Purpose::Export && name == "format") {
            if (value != "ndjson" && value != "csv" && value != "parquet")
                refuse("format must be ndjson, csv or parquet, not '" + value + "'");
            if (value == "parquet" && !r.features.parquet())
                refuse("This ClickHouse server cannot write Parquet (version 20.1 or later can)");
            out.format = value;
        } else {
            const Column& column = r.column(name, "filter");
            if (!column.filterable) refuse("Column '" + column.name + "' cannot be filtered on");
            try {
                out.conditions.add(column.quoted, column.type, value);
                out.filtered = true;
            } catch (const ValueRefused& refused) {
                refuse("Filter " + column.name + "=" + value + ": " + refused.what());
            }
        }
    }
    if (has_cursor && has_offset) refuse("A page is asked for by cursor or by offset, not both");
    if (has_cursor && !out.order.empty())
        refuse("A cursor pages in the table's own order: leave out order");
    out.keyset_order = out.order.empty() && !r.keyset.empty();
    if (out.keyset_order)
        for (size_t index : r.keyset)
            out.order.emplace_back(index, false);
    if (out.selected.empty())
        for (size_t i = 0; i < r.columns.size(); ++i)
            if (r.columns[i].insertable) out.selected.push_back(i);
    if (out.cursor.size() > 0) {
        // Rows after the cursor's position in keyset order: k1 > c1, or k1 = c1 and k2 > c2, ...
        std::string condition;
        for (size_t i = 0; i < r.keyset.size(); ++i) {
            std::string step;
            for (size_t j = 0; j < i; ++j)
                step += r.columns[r.keyset[j]].quoted + " = " + out.conditions.bind(out.cursor[j]) +
                        " AND ";
            step += r.columns[r.keyset[i]].quoted + " > " + out.conditions.bind(out.cursor[i]);
            condition += (condition.empty() ? "(" : " OR (") + step + ")";
        }
        out.conditions.add_text("(" + condition + ")");
    }
    return out;
}

std::string encode_cursor(nb::handle values) {
    nb::list texts;
    for (nb::handle value : values)
        texts.append(to_str(cursor_text(value)));
    nb::object json = nb::module_::import_("json").attr("dumps")(
        texts, nb::arg("separators") = nb::make_tuple(",", ":"));
    nb::object encoded =
        nb::module_::import_("base64").attr("urlsafe_b64encode")(json.attr("encode")());
    std::string text = utf8(encoded.attr("decode")());
    while (!text.empty() && text.back() == '=')
        text.pop_back();
    return text;
}

} // namespace kelvora::rowquery
